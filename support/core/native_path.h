// File names inside the program are UTF-8 text, on every system: that is what Qt's
// QString::toStdString gives, what the command line turns its arguments into and what the
// messages print. The system's own form is another matter: Windows spells names in UTF-16
// and reads a narrow name in the ANSI code page, so a name with "é" or "ü" would open
// another file or none. These convert at the edge.
#pragma once

#include <filesystem>
#include <string>

namespace pellix_usb_encoder {

// The path named by UTF-8 text.
std::filesystem::path NativePath(const std::string& utf8);
// The UTF-8 text of a path, for messages and for the program's own strings.
std::string Utf8Path(const std::filesystem::path& path);

#ifdef _WIN32
// UTF-8 to UTF-16 and back, for the wide Windows functions. Invalid sequences become
// U+FFFD rather than cutting the text short.
std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);
std::string Utf8FromWide(const wchar_t* wide);
#endif

}  // namespace pellix_usb_encoder
