// Identifiers of the main window's controls and the creation order of all of them (labels
// included). Portable: the layout code and the tests use these without <windows.h>.
#pragma once

namespace colloquor {

// Control identifiers (the id passed to CreateWindowExW and reported by WM_COMMAND).
inline constexpr int kIdMicrophoneList = 101;
inline constexpr int kIdSpeechLanguageList = 102;
inline constexpr int kIdRecordButton = 103;
inline constexpr int kIdClearButton = 104;
inline constexpr int kIdCopyTextButton = 105;
inline constexpr int kIdMicrophoneLevel = 106;
inline constexpr int kIdStatusLine = 107;
inline constexpr int kIdRecognizedPanel = 108;
inline constexpr int kIdTranslationLanguageList = 109;
inline constexpr int kIdSwapButton = 110;
inline constexpr int kIdCopyTranslationButton = 111;
inline constexpr int kIdTranslationPanel = 112;
inline constexpr int kIdSaveButton = 113;
inline constexpr int kIdGainTrackbar = 114;
inline constexpr int kIdStrengthTrackbar = 115;
inline constexpr int kIdNoiseSuppressionCheck = 116;
inline constexpr int kIdAgcCheck = 117;
inline constexpr int kIdBoostCheck = 118;
inline constexpr int kIdSystemAudioCheck = 119;
inline constexpr int kIdReverseCheck = 120;
inline constexpr int kIdEchoCheck = 121;
inline constexpr int kIdOneInterlocutorRadio = 122;
inline constexpr int kIdSeveralVoicesRadio = 123;
inline constexpr int kIdSensitivityTrackbar = 124;
inline constexpr int kIdSystemAudioLevel = 125;
inline constexpr int kIdOutputDeviceList = 126;
inline constexpr int kIdDownloadProgress = 127;
inline constexpr int kIdUseMicrophoneCheck = 128;
inline constexpr int kIdSpeakerModelList = 129;
inline constexpr int kIdTranslationModelList = 130;
inline constexpr int kIdSessionsList = 131;
inline constexpr int kIdSpinner = 132;
inline constexpr int kIdNewSessionButton = 133;

// The spinner's timer: id 1, one step every 90 ms.
inline constexpr int kSpinnerTimerId = 1;
inline constexpr int kSpinnerPeriodMs = 90;

// Commands of the Sessions list's context menu.
inline constexpr int kMenuOpenEntry = 1;
inline constexpr int kMenuDeleteEntry = 2;
inline constexpr int kMenuOpenHistoryFolder = 3;

// Every control of the window in creation order, which is also the TAB order. Labels have no id;
// they are reached through this order (the window keeps one handle per slot).
enum class Ctl : int {
  MicrophoneLabel,
  MicrophoneList,
  UseMicrophone,
  TranslationModelLabel,
  TranslationModelList,
  SpeakerModelLabel,
  SpeakerModelList,
  OutputDeviceLabel,
  OutputDeviceList,
  SpeechLanguageLabel,
  SpeechLanguageList,
  Swap,
  TranslationLanguageLabel,
  TranslationLanguageList,
  Spinner,
  SessionsLabel,
  NewSession,
  SessionsList,
  Record,
  Clear,
  CopyText,
  CopyTranslation,
  Save,
  MicrophoneLevel,
  SystemAudioLevel,
  GainLabel,
  GainTrackbar,
  GainValue,
  Agc,
  NoiseSuppression,
  StrengthTrackbar,
  StrengthValue,
  Boost,
  SystemAudio,
  Reverse,
  Echo,
  OneInterlocutor,
  SeveralVoices,
  SensitivityTrackbar,
  SensitivityValue,
  StatusLine,
  DownloadProgress,
  RecognizedLabel,
  RecognizedPanel,
  TranslationLabel,
  TranslationPanel,
};

inline constexpr int kControlCount = 46;

constexpr int slot(Ctl c) { return static_cast<int>(c); }

}  // namespace colloquor
