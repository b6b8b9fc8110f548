#pragma once
// The ccTalk header values the control knows, as its type library names them. The command
// methods write the numbers through these members.

#include <cstdint>

namespace quennet {

enum cctalk_Codes : std::int32_t {
  RESET_DEVICE = 1,             ///< Reset device
  GET_COMMS_VARS = 2,           ///< Request comms status variables
  CLEAR_COMMS_VARS = 3,         ///< Clear comms status variables
  GET_COMMS_REVN = 4,           ///< Request comms revision
  SAVE_ENC_KEY = 136,           ///< Store encryption code
  CHANGE_ENC_KEY = 137,         ///< Switch encryption code
  GET_FIRMWARE_UPG = 141,       ///< Request firmware upgrade capability
  GET_CURRENCY_REV = 145,       ///< Request currency revision
  RUN_MOTORS = 146,             ///< Operate bi-directional motors
  CYCLE_STACK = 147,            ///< Perform stacker cycle
  READ_OPTOS = 148,             ///< Read opto voltages
  ERROR_COUNTER = 149,          ///< Request individual error counter
  INDVDL_NOTE_COUNT = 150,      ///< Request individual accept counter
  READ_BILL_MODE = 152,         ///< Request bill operating mode
  MODIFY_BILL_MODE = 153,       ///< Modify bill operating mode
  ROUTE_BILL = 154,             ///< Route bill
  REQUEST_BILL_POSN = 155,      ///< Request bill position
  REQUEST_CNTRY_SCALE = 156,    ///< Request country scaling factor
  REQUEST_BILL_ID = 157,        ///< Request bill id
  MODIFY_BILL_ID = 158,         ///< Modify bill id
  GET_EVENT_BUFFER = 159,       ///< Read buffered bill events
  HOPPER_TEST = 163,            ///< Test hopper
  HOPPER_ENABLE = 164,          ///< Enable hopper
  HOPPER_STATUS = 166,          ///< Request hopper status
  HOPPER_DISPENSE_COINS = 167,  ///< Dispense hopper coins
  HOPPER_DISPENSE_COUNT = 168,  ///< Request hopper dispense count
  GET_ADDRESS_MODE = 169,       ///< Request address mode
  GET_BASE_YEAR = 170,          ///< Request base year
  REQUEST_HOPPER_COIN = 171,    ///< Request hopper coin
  STOP_HOPPER = 172,            ///< Emergency stop
  REQUEST_BILL_SCTY = 180,      ///< Request security setting
  MODIFY_BILL_SCTY = 181,       ///< Modify security setting
  Request_Coin_ID = 184,
  GET_BUILD_CODE = 192,       ///< Request build code
  GET_CREATION_DATE = 196,    ///< Request creation date
  GET_ROM_CHKSUM = 197,       ///< Calculate ROM checksum
  GET_OPTION_FLAGS = 213,     ///< Request option flags
  GET_DATA_STR_AVBL = 216,    ///< Request data storage availability
  GET_ACCEPTANCE_CNTR = 225,  ///< Request accept counter
  GET_INSERTION_CNTR = 226,   ///< Request insertion counter
  GET_MASTER_INHIBIT = 227,   ///< Request master inhibit status
  SET_MASTER_INHIBIT = 228,   ///< Modify master inhibit status
  GET_COIN_BUFFER = 229,      ///< Read buffered credit or error codes
  GET_INHIBIT_STATUS = 230,   ///< Request inhibit status
  SET_INHIBIT_STATUS = 231,   ///< Modify inhibit status
  RUN_SELF_TEST = 232,        ///< Perform self-check
  READ_INPUT_LINES = 237,     ///< Read input lines
  GET_CODE_REVN = 241,        ///< Request software revision
  GET_SERIAL_NO = 242,        ///< Request serial number
  GET_PROD_CODE = 244,        ///< Request product code
  GET_EQPT_ID = 245,          ///< Request equipment category id
  GET_MNFCTR_ID = 246,        ///< Request manufacturer id
  GET_VARIABLE_SET = 247,     ///< Request variable set
  GET_POLL_PRIORITY = 249,    ///< Request polling priority
  ADDRESS_RANDOM = 250,       ///< Address random
  ADDRESS_CHANGE = 251,       ///< Address change
  ADDRESS_CLASH = 252,        ///< Address clash
  ADDRESS_POLL = 253,         ///< Address poll
  SIMPLE_POLL = 254,          ///< Simple poll
  READ_FEEDBAG = 255,         ///< Factory set-up and test
};

}  // namespace quennet
