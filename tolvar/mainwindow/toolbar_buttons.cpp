#include "tolvar/mainwindow/toolbar_buttons.h"

namespace tolvar {

namespace {

constexpr ButtonStyle B = ButtonStyle::Button;
constexpr ButtonStyle C = ButtonStyle::Check;
constexpr ToolButtonSpec kSeparator{"", "", "", ButtonStyle::Separator};

constexpr ToolButtonSpec kHost[] = {
    {"Simple Poll", "Simple_Poll", "Ping Slave with Simple Poll", B},
    {"Reset BNV", "Reset", "Reset the BNV", B},
    kSeparator,
    {"Unit Data", "Unit_Data", "Read Unit Data", B},
    {"Note Data", "Note_Data", "Read the Currency Data", B},
    kSeparator,
    {"Note Opt'n", "Enable_Bar", "Show Options to Enable Notes etc.", C},
    {"Utilities", "Utilities_Bar", "", C},
    {"Diagn'stc", "Diag_Bar", "Use Diagnostic Commands", C},
    kSeparator,
    {"Poll BNV", "Poll_BNV", "Poll for Buffered Events", C},
    kSeparator,
    {"Modify Key", "Modify_Key", "Changes the dynamic key", B},
    {"Save Key", "Save_Key", "BNV will save the current dynamic key", B},
    kSeparator,
    {"Options", "Options", "Set Program Options", B},
    {"About", "Help_About", "", B},
};

constexpr ToolButtonSpec kEnable[] = {
    {"En'bl Note", "Enable_N", "Enable the Selected Notes", B},
    {"Show En'd", "Show_Enabled", "Show which notes are enabled", B},
    {"Enable All", "Enable_All", "Enable All Notes", B},
    {"Bill Pos'n", "Read_Mask", "Return a Mask for Bill Position for a given country", B},
    {"En'bl Cntry", "Enable_Cntry", "Enables All Notes for a Specified Country", B},
    kSeparator,
    {"Mod Secr'ty", "Mod_Security", "Modify the Security Setting for a Note", B},
    kSeparator,
    {"Get Scale", "Read_Scale", "", B},
    kSeparator,
    {"#Inserts", "Note_Insert", "Read total notes inserted", B},
    {"#Accepts", "Note_Accept", "Read total notes accepted", B},
};

constexpr ToolButtonSpec kUtility[] = {
    {"Clear Rx", "Clear_Comms", "Clear Comms Error Stats", B},
    {"Read Rx", "Read_Rx", "Read Comms Error Stats", B},
    kSeparator,
    {"Read Inh't", "Read_M_Inh", "Read Master Inhibit Status", B},
    {"Inhibit OFF", "Set_M_Inh1", "Set Master Inhibit Status OFF", C},
    {"Inhibit ON", "Set_M_Inh2", "Set Master Inhibit Status ON", B},
    {"Read Mode", "Read_Bill_Mode", "Read the Bill Operating Mode", B},
    {"Set Mode", "Set_Bill_Mode", "Set the Bill Operating Mode", B},
    kSeparator,
    {"Addr Poll", "Addr_Poll", "Polls all devices on the network for their address", B},
    {"Addr Clash", "Addr_Clash", "Polls all devices on the network for their address", B},
    {"New Addr", "Addr_Change", "Use to change the device address", B},
    {"Addr Rndm", "Addr_Random", "Use to set to a new random address", B},
};

constexpr ToolButtonSpec kDiagnostic[] = {
    {"Motor Fwd", "Motor_Fwd", "Drive Validator Motor Forward", B},
    {"Motor Stop", "Motor_Stop", "Stop the Motor", B},
    {"Motor Back", "Motor_Back", "Drive Validator Motor Backwards", B},
    kSeparator,
    {"Stacker", "Stacker", "Cycle the Stacker", B},
    kSeparator,
    {"Self test", "Self_Test", "Run Validator Self Test", B},
};

}  // namespace

std::span<const ToolButtonSpec> hostBarButtons() {
  return kHost;
}
std::span<const ToolButtonSpec> enableBarButtons() {
  return kEnable;
}
std::span<const ToolButtonSpec> utilityBarButtons() {
  return kUtility;
}
std::span<const ToolButtonSpec> diagnosticBarButtons() {
  return kDiagnostic;
}

}  // namespace tolvar
