// The program's media files: the jack module picture "Quendel.jpg", the key mark
// "blue.bmp" and the test sound "Audio Test.mp3". Each is taken from the process's
// current directory when it is there, and otherwise from the copy embedded in the
// program, so the windows work wherever the program is started from.
#pragma once

#include <QByteArray>
#include <QPixmap>
#include <QString>

namespace pellix_usb_encoder::media {

inline constexpr const char* ModulePicture = "Quendel.jpg";
inline constexpr const char* KeyMarkPicture = "blue.bmp";
inline constexpr const char* TestSound = "Audio Test.mp3";

// Path of the file to use: "<current directory>/<name>" when that file exists, else the
// embedded copy ":/media/<name>".
QString Path(const char* name);
// The picture; a null pixmap only if neither copy can be read.
QPixmap Picture(const char* name);
// The file's bytes; empty only if neither copy can be read.
QByteArray Bytes(const char* name);

}  // namespace pellix_usb_encoder::media
