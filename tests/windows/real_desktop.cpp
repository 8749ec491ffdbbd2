// The shared scenarios' desktop on the real window system: standard controls
// made with CreateWindowExW, either on the test's own thread or in a second
// process (this program started with --host) that the test drives through
// WM_COPYDATA, so that every call of the core crosses a process boundary as
// it does against a real application.
#include "real_desktop.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include <commctrl.h>

extern "C" void* ostrandMakeElementDouble(HWND window, void (*onFocus)(void*), void* context);

using Ostrand::ComPtr;
using Ostrand::WString;

namespace ostrand_test {

namespace {

constexpr int kListItems = 100;
constexpr UINT kCommandTimeoutMs = 10000;
const wchar_t kOriginalProc[] = L"OstrandTestOriginalProc";
const wchar_t kHostClass[] = L"OstrandTestHost";
// How long a hung host waits to be resumed at most, so that a failed test
// cannot leave it hanging.
constexpr DWORD kHangBoundMs = 30000;
constexpr UINT kHangMessage = WM_APP + 1;

// Clicks reported through BN_CLICKED, by button; only touched on the thread
// that owns the windows.
std::map<HWND, int>& clickCounts() {
    static std::map<HWND, int> counts;
    return counts;
}

LRESULT CALLBACK countingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto original = reinterpret_cast<WNDPROC>(GetPropW(window, kOriginalProc));
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && lParam) ++clickCounts()[reinterpret_cast<HWND>(lParam)];
    if (message == WM_NCDESTROY) RemovePropW(window, kOriginalProc);
    return CallWindowProcW(original, window, message, wParam, lParam);
}

void registerClass(const wchar_t* name, WNDPROC proc) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
}

void registerTestClasses() {
    static bool done = false;
    if (done) return;
    done = true;
    // A plain container, and a class name of a UI framework that has its own
    // UI Automation provider.
    INITCOMMONCONTROLSEX common{sizeof(common), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&common);
    registerClass(L"OstrandPanel", DefWindowProcW);
    registerClass(L"Chrome_WidgetWin_1", DefWindowProcW);
}

DWORD classStyle(const WindowSpec& wanted) {
    const WString& cls = wanted.className;
    if (cls == L"Button") return BS_PUSHBUTTON;
    if (cls == L"Edit") return ES_AUTOHSCROLL | (wanted.readOnly ? ES_READONLY : 0);
    if (cls == L"ListBox") return WS_VSCROLL | LBS_NOINTEGRALHEIGHT;
    if (cls == L"ComboBox") return CBS_DROPDOWNLIST;
    return 0;
}

// Fixed-size, so that it crosses processes in one WM_COPYDATA.
struct CreateRequest {
    int64_t parent;
    RECT rect;
    int32_t visible;
    int32_t enabled;
    int32_t readOnly;
    wchar_t className[64];
    wchar_t text[1024];
};

enum Command : ULONG_PTR { kCreate = 1, kClicks = 2, kSettle = 3, kDestroy = 4, kHang = 5 };

// The host's two events, by its process id: set by the host once it has
// stopped handling messages, and by the test to let it go on.
HANDLE hostEvent(DWORD hostProcess, const wchar_t* which) {
    wchar_t name[64];
    swprintf(name, 64, L"OstrandTestHost%ls-%lu", which, static_cast<unsigned long>(hostProcess));
    return CreateEventW(nullptr, FALSE, FALSE, name);
}

void pumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

HWND createWindow(const WindowSpec& wanted) {
    registerTestClasses();
    DWORD style = (wanted.parent ? WS_CHILD : WS_POPUP) | (wanted.visible ? WS_VISIBLE : 0) |
                  (wanted.enabled ? 0 : WS_DISABLED) | classStyle(wanted);
    // Children are placed in their parent's client coordinates.
    POINT origin{wanted.rect.left, wanted.rect.top};
    if (wanted.parent) ScreenToClient(wanted.parent, &origin);
    HWND window = CreateWindowExW(0, wanted.className.c_str(), wanted.text.c_str(), style, origin.x, origin.y,
                                  wanted.rect.right - wanted.rect.left, wanted.rect.bottom - wanted.rect.top, wanted.parent,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!window) return nullptr;
    SetPropW(window, kOriginalProc,
             reinterpret_cast<HANDLE>(SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(countingProc))));
    if (wanted.className == L"ListBox") {
        for (int i = 0; i < kListItems; ++i) {
            wchar_t item[32];
            swprintf(item, 32, L"Item %d", i);
            SendMessageW(window, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
        }
    }
    return window;
}

WString sentText(HWND window) {
    wchar_t buffer[1024] = {};
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL, kCommandTimeoutMs,
                        &copied);
    return WString(buffer);
}

class RealDesktopBase : public TestDesktop {
public:
    WString controlText(HWND window) override { return sentText(window); }
    bool scrolledDown(HWND list) override {
        DWORD_PTR top = 0;
        SendMessageTimeoutW(list, LB_GETTOPINDEX, 0, 0, SMTO_NORMAL, kCommandTimeoutMs, &top);
        return top > 0;
    }
    POINT cursor() override {
        POINT at{0, 0};
        GetCursorPos(&at);
        return at;
    }
    ComPtr<IUIAutomationElement> elementFor(HWND window) override {
        return ComPtr<IUIAutomationElement>::adopt(
            static_cast<IUIAutomationElement*>(ostrandMakeElementDouble(window, nullptr, nullptr)));
    }
    ComPtr<IUIAutomationElement> elementClosingOnFocus(HWND window, HWND toClose) override {
        closing = toClose;
        auto close = [](void* self) {
            auto* desktop = static_cast<RealDesktopBase*>(self);
            desktop->destroy(desktop->closing);
        };
        return ComPtr<IUIAutomationElement>::adopt(
            static_cast<IUIAutomationElement*>(ostrandMakeElementDouble(window, close, this)));
    }

private:
    HWND closing = nullptr;
};

// The windows belong to the test's own thread.
class InProcessDesktop : public RealDesktopBase {
public:
    ~InProcessDesktop() override {
        for (HWND window : topLevel) DestroyWindow(window);
        pumpMessages();
        clickCounts().clear();
    }
    HWND create(const WindowSpec& wanted) override {
        HWND window = createWindow(wanted);
        if (window && !wanted.parent) topLevel.push_back(window);
        return window;
    }
    void settle() override { pumpMessages(); }
    void destroy(HWND window) override {
        DestroyWindow(window);
        topLevel.erase(std::remove(topLevel.begin(), topLevel.end(), window), topLevel.end());
    }
    int clicks(HWND button) override { return clickCounts()[button]; }
    bool hang(HWND, bool) override { return false; }

private:
    std::vector<HWND> topLevel;
};

// The windows belong to a second process.
class OtherProcessDesktop : public RealDesktopBase {
public:
    OtherProcessDesktop() {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path) + L"\" --host";
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writeEnd;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &process)) {
            CloseHandle(process.hThread);
            process.hThread = nullptr;
        } else {
            process = {};
        }
        CloseHandle(writeEnd);
        // The host's first line: its command window.
        std::string line;
        char c;
        DWORD got = 0;
        while (ReadFile(readEnd, &c, 1, &got, nullptr) && got == 1 && c != '\n') line += c;
        CloseHandle(readEnd);
        host = reinterpret_cast<HWND>(static_cast<intptr_t>(std::strtoll(line.c_str(), nullptr, 10)));
        if (process.hProcess) {
            hungEvent = hostEvent(GetProcessId(process.hProcess), L"Hung");
            resumeEvent = hostEvent(GetProcessId(process.hProcess), L"Resume");
        }
    }
    ~OtherProcessDesktop() override {
        if (hung) SetEvent(resumeEvent);
        if (hungEvent) CloseHandle(hungEvent);
        if (resumeEvent) CloseHandle(resumeEvent);
        if (host) PostMessageW(host, WM_CLOSE, 0, 0);
        if (process.hProcess) {
            if (WaitForSingleObject(process.hProcess, kCommandTimeoutMs) != WAIT_OBJECT_0)
                TerminateProcess(process.hProcess, 1);
            CloseHandle(process.hProcess);
        }
    }
    bool ready() const { return host != nullptr; }

    HWND create(const WindowSpec& wanted) override {
        CreateRequest request{};
        request.parent = reinterpret_cast<intptr_t>(wanted.parent);
        request.rect = wanted.rect;
        request.visible = wanted.visible;
        request.enabled = wanted.enabled;
        request.readOnly = wanted.readOnly;
        wcsncpy(request.className, wanted.className.c_str(), 63);
        wcsncpy(request.text, wanted.text.c_str(), 1023);
        return reinterpret_cast<HWND>(command(kCreate, &request, sizeof(request)));
    }
    void settle() override { command(kSettle, nullptr, 0); }
    void destroy(HWND window) override {
        int64_t which = reinterpret_cast<intptr_t>(window);
        command(kDestroy, &which, sizeof(which));
    }
    int clicks(HWND button) override {
        int64_t which = reinterpret_cast<intptr_t>(button);
        return static_cast<int>(command(kClicks, &which, sizeof(which)));
    }
    // The host's one thread owns every window: it hangs as a whole, and
    // only returns once it no longer takes messages.
    bool hang(HWND, bool wanted) override {
        if (!hungEvent || !resumeEvent || wanted == hung) return false;
        if (!wanted) {
            hung = false;
            return SetEvent(resumeEvent) != 0;
        }
        if (!command(kHang, nullptr, 0)) return false;
        hung = WaitForSingleObject(hungEvent, kCommandTimeoutMs) == WAIT_OBJECT_0;
        return hung;
    }

private:
    LRESULT command(Command what, void* data, DWORD size) {
        COPYDATASTRUCT copy{what, size, data};
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(host, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL,
                                 kCommandTimeoutMs, &result))
            return 0;
        return static_cast<LRESULT>(result);
    }

    PROCESS_INFORMATION process{};
    HWND host = nullptr;
    HANDLE hungEvent = nullptr;
    HANDLE resumeEvent = nullptr;
    bool hung = false;
};

LRESULT CALLBACK hostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        switch (copy->dwData) {
            case kCreate: {
                if (copy->cbData != sizeof(CreateRequest)) return 0;
                CreateRequest request;
                std::memcpy(&request, copy->lpData, sizeof(request));
                WindowSpec wanted;
                wanted.parent = reinterpret_cast<HWND>(static_cast<intptr_t>(request.parent));
                wanted.rect = request.rect;
                wanted.visible = request.visible != 0;
                wanted.enabled = request.enabled != 0;
                wanted.readOnly = request.readOnly != 0;
                wanted.className = request.className;
                wanted.text = request.text;
                return reinterpret_cast<LRESULT>(createWindow(wanted));
            }
            case kClicks: {
                if (copy->cbData != sizeof(int64_t)) return 0;
                int64_t which;
                std::memcpy(&which, copy->lpData, sizeof(which));
                return clickCounts()[reinterpret_cast<HWND>(static_cast<intptr_t>(which))];
            }
            case kSettle:
                pumpMessages();
                return 1;
            case kDestroy: {
                if (copy->cbData != sizeof(int64_t)) return 0;
                int64_t which;
                std::memcpy(&which, copy->lpData, sizeof(which));
                return DestroyWindow(reinterpret_cast<HWND>(static_cast<intptr_t>(which)));
            }
            case kHang:
                // After this reply: the sender must not be the one kept waiting.
                return PostMessageW(window, kHangMessage, 0, 0);
        }
        return 0;
    }
    if (message == kHangMessage) {
        // Neither posted nor sent messages are handled until resumed.
        static HANDLE hungEvent = hostEvent(GetCurrentProcessId(), L"Hung");
        static HANDLE resumeEvent = hostEvent(GetCurrentProcessId(), L"Resume");
        SetEvent(hungEvent);
        WaitForSingleObject(resumeEvent, kHangBoundMs);
        return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace


int runDesktopHost() {
    registerClass(kHostClass, hostProc);
    HWND control = CreateWindowExW(0, kHostClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                   GetModuleHandleW(nullptr), nullptr);
    if (!control) return 1;
    std::printf("%lld\n", static_cast<long long>(reinterpret_cast<intptr_t>(control)));
    std::fflush(stdout);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

std::vector<std::string> testDesktopNames() { return {"InProcess", "OtherProcess"}; }

std::unique_ptr<TestDesktop> makeTestDesktop(const std::string& name) {
    if (name == "InProcess") return std::make_unique<InProcessDesktop>();
    auto desktop = std::make_unique<OtherProcessDesktop>();
    if (!desktop->ready()) return nullptr;
    return desktop;
}

}  // namespace ostrand_test
