#include "app.h"

#include "platform/desktop.h"

namespace telquin {
namespace {

constexpr unsigned kVkEscape = 0x1B;
constexpr unsigned kVkBack = 0x08;

// Built when the library is loaded, destroyed when it is unloaded.
CTelquinApp theApp;

}  // namespace

CTelquinApp& TheApp() { return theApp; }

CTelquinApp::CTelquinApp() {
  m_nHotKeyId1 = platform::AddGlobalAtom("test1");
  m_nHotKeyId2 = platform::AddGlobalAtom("test2");
  platform::RegisterHotKey(static_cast<int>(m_nHotKeyId1), platform::kModControl, kVkEscape);
  platform::RegisterHotKey(static_cast<int>(m_nHotKeyId2), platform::kModControl, kVkBack);
}

CTelquinApp::~CTelquinApp() { UnregisterHotKeys(); }

void CTelquinApp::UnregisterHotKeys() {
  platform::UnregisterHotKey(static_cast<int>(m_nHotKeyId1));
  platform::UnregisterHotKey(static_cast<int>(m_nHotKeyId2));
}

}  // namespace telquin
