#pragma once
// Dialog template numbers, control ids and command ids of stagedesk. The
// language files address dialog texts by these numbers ("IDD%d_%d"), so they
// are part of the program's interface and never change.

namespace stagedesk {

// Dialog templates.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_KT300_FORM = 101;
inline constexpr int IDD_PARAMSET = 137;
inline constexpr int IDD_COMMSELECT = 138;
inline constexpr int IDD_PLANRUN = 141;
inline constexpr int IDD_DXFRUN = 149;
inline constexpr int IDD_SINGLERUN = 157;

// Controls that several dialogs share.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = 65535;

// Form view.
inline constexpr int IDC_TAB = 1000;
inline constexpr int IDC_KORVAKT3002CTRL = 1133;

// Menu commands.
inline constexpr int ID_LANGUAGE_ENGLISH = 32771;
inline constexpr int ID_LANGUAGE_CHINESE = 32772;
inline constexpr int ID_COMPORT_OPEN = 32780;
inline constexpr int ID_COMPORT_CLOSE = 32787;
inline constexpr int ID_APP_ABOUT = 57664;
inline constexpr int ID_APP_EXIT = 57665;
inline constexpr int ID_VIEW_TOOLBAR = 59392;
inline constexpr int ID_VIEW_STATUS_BAR = 59393;

// Communication Select (138).
inline constexpr int IDC_COMM_GROUP = 1062;
inline constexpr int IDC_COMM_SERIALCHECK = 1136;
inline constexpr int IDC_COMM_SERIALLABEL = 1134;
inline constexpr int IDC_COMM_PORTLIST = 1061;
inline constexpr int IDC_COMM_USBCHECK = 1137;
inline constexpr int IDC_COMM_USBLABEL = 1135;
inline constexpr int IDC_COMM_USBLIST = 1063;
inline constexpr int IDC_COMM_IDLIST = 1064;
inline constexpr int IDC_COMM_IDLABEL = 2064;

// About (100).
inline constexpr int IDC_ABOUT_TEXT = 1001;

// Single-axis run panel (157).
inline constexpr int IDC_SR_AXISGROUP = 1224;
inline constexpr int IDC_SR_RADIO_X = 1081;
inline constexpr int IDC_SR_RADIO_Y = 1083;
inline constexpr int IDC_SR_RADIO_Z = 1087;
inline constexpr int IDC_SR_RADIO_T = 1102;
inline constexpr int IDC_SR_COORDLABEL = 1217;
inline constexpr int IDC_SR_POSITION = 1066;
inline constexpr int IDC_SR_UNIT_POSITION = 1047;
inline constexpr int IDC_SR_UNIT_DISTANCE = 1206;
inline constexpr int IDC_SR_UNIT_TARGET = 1207;
inline constexpr int IDC_SR_HINT = 1229;
inline constexpr int IDC_SR_SETCOORD = 1202;
inline constexpr int IDC_SR_RELGROUP = 1220;
inline constexpr int IDC_SR_DISTANCE = 1067;
inline constexpr int IDC_SR_FORWARD = 1080;
inline constexpr int IDC_SR_BACK = 1079;
inline constexpr int IDC_SR_ABSGROUP = 1219;
inline constexpr int IDC_SR_TARGET = 1068;
inline constexpr int IDC_SR_RUN = 1082;
inline constexpr int IDC_SR_CONTGROUP = 1218;
inline constexpr int IDC_SR_CONTFORWARD = 1086;
inline constexpr int IDC_SR_CONTBACK = 1204;
inline constexpr int IDC_SR_HOMEGROUP = 1221;
inline constexpr int IDC_SR_HOMELIMIT = 1200;
inline constexpr int IDC_SR_HOMEOPTICAL = 1205;
inline constexpr int IDC_SR_HOMEORIGIN = 1201;
inline constexpr int IDC_SR_STOP = 1084;
inline constexpr int IDC_SR_STOPSLOW = 1085;
inline constexpr int IDC_SR_STATUS = 1223;

// Parameter panel (137).
inline constexpr int IDC_PS_STAGESTYLE = 1129;
inline constexpr int IDC_PS_PITCH = 1005;
inline constexpr int IDC_PS_DRIVERAT = 1012;
inline constexpr int IDC_PS_RADIUS = 1014;
inline constexpr int IDC_PS_STAGESTEPS = 1066;
inline constexpr int IDC_PS_WORKSTATE = 1078;
inline constexpr int IDC_PS_ENCODER = 1077;
inline constexpr int IDC_PS_LIMITPOS = 1017;
inline constexpr int IDC_PS_LIMITNEG = 1018;
inline constexpr int IDC_PS_RESOLUTION = 1132;
inline constexpr int IDC_PS_OFFSET = 1212;
inline constexpr int IDC_PS_LIMITABLE = 1213;
inline constexpr int IDC_PS_SPEED = 1020;
inline constexpr int IDC_PS_INITSPEED = 1026;
inline constexpr int IDC_PS_ACCSPEED = 1021;
inline constexpr int IDC_PS_HOMESPEED = 1024;
inline constexpr int IDC_PS_UNIT = 1048;
inline constexpr int IDC_PS_RADIO_X = 1084;
inline constexpr int IDC_PS_RADIO_Y = 1085;
inline constexpr int IDC_PS_RADIO_Z = 1086;
inline constexpr int IDC_PS_RADIO_T = 1087;
inline constexpr int IDC_PS_AXISGROUP = 1153;
inline constexpr int IDC_PS_GROUP_PARAM = 1060;
inline constexpr int IDC_PS_GROUP_BASE = 1058;
inline constexpr int IDC_PS_GROUP_POS = 1061;
inline constexpr int IDC_PS_GROUP_RUN = 1064;
inline constexpr int IDC_PS_GROUP_OUTER = 1188;
inline constexpr int IDC_PS_RELOAD = 1051;
inline constexpr int IDC_PS_FACTORY = 1200;
inline constexpr int IDC_PS_STATUS = 1222;
inline constexpr int IDC_PS_HINT = 1230;
inline constexpr int IDC_PS_RESUNIT = 1228;
inline constexpr int IDC_PS_UNIT_SPEED = 1169;
inline constexpr int IDC_PS_UNIT_INITSPEED = 1171;
inline constexpr int IDC_PS_UNIT_HOMESPEED = 1172;
inline constexpr int IDC_PS_UNIT_ACC = 1170;
inline constexpr int IDC_PS_UNIT_ACC2 = 1173;
inline constexpr int IDC_PS_UNIT_LEN_FIRST = 1174;  // 1174 to 1179
inline constexpr int IDC_PS_UNIT_LEN_LAST = 1179;
inline constexpr int IDC_PS_UNIT_LEN_EXTRA = 1216;

// Private messages of the panels (kept as numbers for traces).
inline constexpr int WM_SINGLERUN_REFRESH = 1074;
inline constexpr int WM_PARAMSET_REFRESH = 1124;
inline constexpr int WM_PARAMSET_RELOAD = 1125;

}  // namespace stagedesk
