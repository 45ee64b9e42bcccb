// Test helper: reads the launcher window through Active Accessibility from another process, as a
// screen reader does. Prints "window <left> <top> <width> <height>", then one line per object
// (the client object as id 0, then its parts), tab-separated and UTF-8:
//   id  role  role text  name  value  state hex  state texts  left top width height  default action
// Options, in this order: "until TEXT" first waits (at most 30 s) until a part's name contains
// TEXT; "signal PATH" creates PATH once the object is held (before waiting); "press NAME" calls
// accDoDefaultAction on the part named NAME after printing and adds "pressed <HRESULT hex>".
// Exit 1 without a window or an object, 3 when the wait ran out.
#include <windows.h>
#include <ole2.h>
#include <oleacc.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return "";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

VARIANT Child(LONG id) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = id;
    return v;
}

// A BSTR property as text ("" when absent); the BSTR is freed.
template <typename Getter>
std::wstring Text(Getter get) {
    BSTR text = nullptr;
    std::wstring out;
    if (SUCCEEDED(get(&text)) && text) out.assign(text, SysStringLen(text));
    SysFreeString(text);
    return out;
}

LONG Number(IAccessible* object, LONG id, bool role) {
    VARIANT out;
    VariantInit(&out);
    const HRESULT hr = role ? object->get_accRole(Child(id), &out) : object->get_accState(Child(id), &out);
    const LONG value = SUCCEEDED(hr) && out.vt == VT_I4 ? out.lVal : -1;
    VariantClear(&out);
    return value;
}

std::wstring StateTexts(LONG state) {
    std::wstring out;
    for (int bit = 0; bit < 31; ++bit) {
        if (!(state & (1L << bit))) continue;
        wchar_t text[128] = L"";
        GetStateTextW(1UL << bit, text, 128);
        out += (out.empty() ? L"" : L", ") + std::wstring(text);
    }
    return out;
}

std::wstring Name(IAccessible* object, LONG id) {
    return Text([&](BSTR* b) { return object->get_accName(Child(id), b); });
}

void PrintObject(IAccessible* object, LONG id) {
    const LONG role = Number(object, id, true);
    const LONG state = Number(object, id, false);
    wchar_t roleText[128] = L"";
    GetRoleTextW(static_cast<DWORD>(role), roleText, 128);
    LONG left = 0, top = 0, width = 0, height = 0;
    object->accLocation(&left, &top, &width, &height, Child(id));
    const std::wstring value = Text([&](BSTR* b) { return object->get_accValue(Child(id), b); });
    const std::wstring action =
        Text([&](BSTR* b) { return object->get_accDefaultAction(Child(id), b); });
    std::printf("%ld\t%ld\t%s\t%s\t%s\t%lx\t%s\t%ld %ld %ld %ld\t%s\n", id, role,
                Utf8(roleText).c_str(), Utf8(Name(object, id)).c_str(), Utf8(value).c_str(),
                static_cast<unsigned long>(state), Utf8(state < 0 ? L"" : StateTexts(state)).c_str(), left, top, width,
                height, Utf8(action).c_str());
}

LONG ChildCount(IAccessible* object) {
    LONG count = 0;
    return SUCCEEDED(object->get_accChildCount(&count)) ? count : 0;
}

bool AnyNameContains(IAccessible* object, const std::wstring& part) {
    for (LONG id = 1; id <= ChildCount(object); ++id)
        if (Name(object, id).find(part) != std::wstring::npos) return true;
    return false;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring until, signal, press;
    for (int i = 1; argv && i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"until") until = argv[i + 1];
        if (option == L"signal") signal = argv[i + 1];
        if (option == L"press") press = argv[i + 1];
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HWND window = nullptr;
    for (int tries = 0; !window && tries < 500; ++tries) {
        window = FindWindowW(L"QuillorUpdater", L"Quillor - Updater");
        if (!window) Sleep(20);
    }
    IAccessible* object = nullptr;
    if (!window || FAILED(AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                                     __uuidof(IAccessible),
                                                     reinterpret_cast<void**>(&object))) ||
        !object) {
        return 1;
    }
    if (!signal.empty()) CloseHandle(CreateFileW(signal.c_str(), GENERIC_WRITE, 0, nullptr,
                                                 CREATE_ALWAYS, 0, nullptr));
    if (!until.empty()) {
        const DWORD start = GetTickCount();
        while (!AnyNameContains(object, until)) {
            if (GetTickCount() - start > 30000) return 3;
            Sleep(10);
        }
    }
    const DWORD readStart = GetTickCount();
    RECT rect = {};
    GetWindowRect(window, &rect);
    std::printf("window %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
    const LONG count = ChildCount(object);
    for (LONG id = 0; id <= count; ++id) PrintObject(object, id);
    std::printf("read in %lu ms\n", static_cast<unsigned long>(GetTickCount() - readStart));
    for (LONG id = 1; !press.empty() && id <= count; ++id) {
        if (Name(object, id) != press) continue;
        std::printf("pressed %08lx\n", static_cast<unsigned long>(object->accDoDefaultAction(Child(id))));
        break;
    }
    std::fflush(stdout);
    object->Release();
    return 0;
}
