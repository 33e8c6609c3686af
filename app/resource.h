// Resource and control ids of the program's dialogs, icon and strings.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAIN_DIALOG 102
#define IDM_ABOUTBOX 0x0010

#define IDC_AUDIO_IN_NAME 1000
#define IDC_AUDIO_OUT_NAME 1001
#define IDC_MIDI_IN_NAME 1002
#define IDC_MIDI_OUT_NAME 1003
#define IDC_AUDIO_IN_STATE 1004
#define IDC_AUDIO_OUT_STATE 1005
#define IDC_MIDI_IN_STATE 1006
#define IDC_MIDI_OUT_STATE 1007
#define IDC_ASIO 1009
#define IDC_SLIDER0 1020
#define IDC_SLIDER16 1036
#define IDC_LABEL0 1037
#define IDC_LABEL1 1040
#define IDC_LABEL16 1055
#define IDC_SAVE 1057
#define IDC_LOAD 1058
#define IDC_ASIO_PANEL 1059
#define IDC_SYNTH_SELECT 1062
#define IDC_MIDI_ACTIVITY 1063

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
