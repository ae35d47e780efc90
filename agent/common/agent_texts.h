// The agent's own Korean texts, kept here once, in UTF-8. Message boxes
// take them as UTF-16; logs and replies take them in code page 949.
#pragma once

#include <string>
#include <string_view>

namespace agent::texts {

inline constexpr std::string_view kLoadFailed = " 로드 실패!";
inline constexpr std::string_view kEntryNotFound = " 함수 찾기 실패!";
// Set-up failures of the WebSocket listeners; the stop listener's bind
// failure has no exclamation mark.
inline constexpr std::string_view kWinsockStartFailed = "WINSOCK 초기화 에러!";
inline constexpr std::string_view kServerSocketFailed = "서버 소켓 생성 실패!";
inline constexpr std::string_view kServerBindFailed = "서버 BIND 실패!";
inline constexpr std::string_view kStopServerBindFailed = "서버 BIND 실패";
inline constexpr std::string_view kServerListenFailed = "서버 LISTEN 실패!";
inline constexpr std::string_view kRestartRequested =
    "데몬 프로그램 재실행을 요청했습니다.\n데몬 프로그램 재실행 됩니다.";
inline constexpr std::string_view kRestartFailed =
    "프로그램 재실행 중 오류가 발생했습니다.\n다시 실행해주시길 바랍니다.";
inline constexpr std::string_view kPortsChanged =
    "서버 포트가 변경되었습니다.\n데몬 프로그램 재실행 됩니다.";
inline constexpr std::string_view kNoResultFile = "결과데이터 파일을 열수 없습니다.";
inline constexpr std::string_view kBrowserClosed =
    "브라우저가 종료되었습니다. 이전 결과데이터를 확인해보시길 바랍니다.";
inline constexpr std::string_view kPortSearchFailedDll = "포트 자동 찾기 실패!(DLL)";
inline constexpr std::string_view kPortSearchFailedWs = "포트 자동 찾기 실패!(WS)";
inline constexpr std::string_view kAlreadyRunning = "이미 프로그램이 실행중입니다.";
inline constexpr std::string_view kTerminalConnectFailed =
    "단말기 연결 실패! 단말기 연결상태를 확인해주세요!";
inline constexpr std::string_view kTrayIconFailed = "트레이아이콘 생성 실패!";
// The settings dialog's probe of the chosen port failed.
inline constexpr std::string_view kPortNotFound = "단말기 연결 실패! 포트를 찾을 수 없습니다!";
// Set-up failures of the AJAX servers: initialisation of the HTTP server,
// creation of the request queue, registration of the URL.
inline constexpr std::string_view kAjaxInitFailed = "프로그램 다시 시작해주세요. (서버초기화실패)";
inline constexpr std::string_view kAjaxHandleFailed = "프로그램 다시 시작해주세요. (핸들생성실패)";
inline constexpr std::string_view kAjaxUrlFailed = "프로그램 다시 시작해주세요. (주소생성실패)";

// The text in code page 949, for logs and replies.
std::string Ansi(std::string_view utf8);
// The text in UTF-16, for message boxes and configuration values.
std::u16string Wide(std::string_view utf8);

}  // namespace agent::texts
