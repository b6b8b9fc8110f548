#include "tolvar/mainwindow/window/toolbar_buttons.h"

namespace tolvar {

namespace {

constexpr ButtonStyle B = ButtonStyle::Button;
constexpr ButtonStyle C = ButtonStyle::Check;
constexpr ToolButtonSpec kSeparator{"", "", "", ButtonStyle::Separator, ""};

// Every button has a key: the host bar's are Alt and a letter of the caption; a secondary bar's
// are Ctrl and its position, shared by the three bars since one shows at a time (a hidden bar's
// keys do nothing).
constexpr ToolButtonSpec kHost[] = {
    {"Simple Poll", "Simple_Poll", "Ping Slave with Simple Poll", B, "Alt+S"},
    {"Reset BNV", "Reset", "Reset the BNV", B, "Alt+R"},
    kSeparator,
    {"Unit Data", "Unit_Data", "Read Unit Data", B, "Alt+U"},
    {"Note Data", "Note_Data", "Read the Currency Data", B, "Alt+D"},
    kSeparator,
    {"Note Opt'n", "Enable_Bar", "Show Options to Enable Notes etc.", C, "Alt+N"},
    {"Utilities", "Utilities_Bar", "", C, "Alt+T"},
    {"Diagn'stc", "Diag_Bar", "Use Diagnostic Commands", C, "Alt+G"},
    kSeparator,
    {"Poll BNV", "Poll_BNV", "Poll for Buffered Events", C, "Alt+P"},
    kSeparator,
    {"Modify Key", "Modify_Key", "Changes the dynamic key", B, "Alt+K"},
    {"Save Key", "Save_Key", "BNV will save the current dynamic key", B, "Alt+Y"},
    kSeparator,
    {"Options", "Options", "Set Program Options", B, "Alt+O"},
    {"About", "Help_About", "", B, "F1"},
};

constexpr ToolButtonSpec kEnable[] = {
    {"En'bl Note", "Enable_N", "Enable the Selected Notes", B, "Ctrl+1"},
    {"Show En'd", "Show_Enabled", "Show which notes are enabled", B, "Ctrl+2"},
    {"Enable All", "Enable_All", "Enable All Notes", B, "Ctrl+3"},
    {"Bill Pos'n", "Read_Mask", "Return a Mask for Bill Position for a given country", B, "Ctrl+4"},
    {"En'bl Cntry", "Enable_Cntry", "Enables All Notes for a Specified Country", B, "Ctrl+5"},
    kSeparator,
    {"Mod Secr'ty", "Mod_Security", "Modify the Security Setting for a Note", B, "Ctrl+6"},
    kSeparator,
    {"Get Scale", "Read_Scale", "", B, "Ctrl+7"},
    kSeparator,
    {"#Inserts", "Note_Insert", "Read total notes inserted", B, "Ctrl+8"},
    {"#Accepts", "Note_Accept", "Read total notes accepted", B, "Ctrl+9"},
};

constexpr ToolButtonSpec kUtility[] = {
    {"Clear Rx", "Clear_Comms", "Clear Comms Error Stats", B, "Ctrl+1"},
    {"Read Rx", "Read_Rx", "Read Comms Error Stats", B, "Ctrl+2"},
    kSeparator,
    {"Read Inh't", "Read_M_Inh", "Read Master Inhibit Status", B, "Ctrl+3"},
    {"Inhibit OFF", "Set_M_Inh1", "Set Master Inhibit Status OFF", C, "Ctrl+4"},
    {"Inhibit ON", "Set_M_Inh2", "Set Master Inhibit Status ON", B, "Ctrl+5"},
    {"Read Mode", "Read_Bill_Mode", "Read the Bill Operating Mode", B, "Ctrl+6"},
    {"Set Mode", "Set_Bill_Mode", "Set the Bill Operating Mode", B, "Ctrl+7"},
    kSeparator,
    {"Addr Poll", "Addr_Poll", "Polls all devices on the network for their address", B, "Ctrl+8"},
    {"Addr Clash", "Addr_Clash", "Polls all devices on the network for their address", B, "Ctrl+9"},
    {"New Addr", "Addr_Change", "Use to change the device address", B, "Ctrl+0"},
    {"Addr Rndm", "Addr_Random", "Use to set to a new random address", B, "Ctrl+-"},
};

constexpr ToolButtonSpec kDiagnostic[] = {
    {"Motor Fwd", "Motor_Fwd", "Drive Validator Motor Forward", B, "Ctrl+1"},
    {"Motor Stop", "Motor_Stop", "Stop the Motor", B, "Ctrl+2"},
    {"Motor Back", "Motor_Back", "Drive Validator Motor Backwards", B, "Ctrl+3"},
    kSeparator,
    {"Stacker", "Stacker", "Cycle the Stacker", B, "Ctrl+4"},
    kSeparator,
    {"Self test", "Self_Test", "Run Validator Self Test", B, "Ctrl+5"},
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
