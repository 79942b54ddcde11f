#include "versioninfo_win32.h"

#include <windows.h>

#include <cstdint>
#include <new>
#include <vector>

namespace utility {

namespace {

const wchar_t kTranslationPath[] = L"\\VarFileInfo\\Translation";
const wchar_t kStringFileInfoPath[] = L"\\StringFileInfo\\";

// Eight lower-case hex digits, the way the string tables are addressed.
std::wstring hex8(std::uint32_t value)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text(8, L'0');
    for (int i = 7; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = digits[value & 0xfu];
        value >>= 4;
    }
    return text;
}

} // namespace

bool queryVersionString(const std::wstring &key, const std::wstring &path, std::wstring &out)
{
    if (key.empty() || path.empty())
        return false;

    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0)
        return false;

    std::vector<unsigned char> data;
    try {
        data.resize(size);
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()))
        return false;

    void *translation = nullptr;
    UINT translationBytes = 0;
    if (!VerQueryValueW(data.data(), kTranslationPath, &translation, &translationBytes) || translation == nullptr
            || translationBytes < sizeof(std::uint32_t)) {
        return false;
    }

    // The entry holds the language in its low half and the code page in its high half; the
    // table name wants the language first.
    std::uint32_t entry = 0;
    const unsigned char *bytes = static_cast<const unsigned char *>(translation);
    for (int i = 3; i >= 0; --i)
        entry = (entry << 8) | bytes[i];
    const std::uint32_t langCodePage = (entry << 16) | (entry >> 16);

    std::wstring subBlock;
    try {
        subBlock = kStringFileInfoPath + hex8(langCodePage) + L"\\" + key;
    } catch (const std::bad_alloc &) {
        return false;
    }

    void *value = nullptr;
    UINT valueChars = 0;
    if (VerQueryValueW(data.data(), subBlock.c_str(), &value, &valueChars) && value != nullptr) {
        const wchar_t *text = static_cast<const wchar_t *>(value);
        // The count includes the terminating null when there is one; stop at the first null.
        std::size_t length = 0;
        while (length < valueChars && text[length] != L'\0')
            ++length;
        try {
            out.assign(text, length);
        } catch (const std::bad_alloc &) {
            out.clear();
        }
    }
    return true;
}

} // namespace utility
