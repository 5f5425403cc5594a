#include "support/ui/media.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace pellix_usb_encoder::media {

QString Path(const char* name) {
  const QString local = QDir::current().filePath(QString::fromLatin1(name));
  if (QFileInfo(local).isFile()) return local;
  return QStringLiteral(":/media/") + QString::fromLatin1(name);
}

QPixmap Picture(const char* name) {
  QPixmap picture(Path(name));
  if (picture.isNull()) picture.load(QStringLiteral(":/media/") + QString::fromLatin1(name));
  return picture;
}

QByteArray Bytes(const char* name) {
  QFile file(Path(name));
  if (file.open(QIODevice::ReadOnly)) return file.readAll();
  QFile embedded(QStringLiteral(":/media/") + QString::fromLatin1(name));
  return embedded.open(QIODevice::ReadOnly) ? embedded.readAll() : QByteArray();
}

}  // namespace pellix_usb_encoder::media
