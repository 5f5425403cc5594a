// Draws the program's pictures: the splash screen, the application icon in several
// sizes and the about window's picture. Every picture shows the same motif, the round
// jack module: a graphite housing, a glowing LED ring around the jack socket and the
// two volume keys (- at the left, + at the right).
//
// Build and run (from the top of the repository):
//   g++ -std=c++20 -fPIC tools/draw_resources.cpp -o /tmp/draw_resources
//       $(pkg-config --cflags --libs Qt6Gui)
//   QT_QPA_PLATFORM=offscreen /tmp/draw_resources resources
//
// The output is deterministic, so the pictures in resources/ can be redrawn at will.
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QConicalGradient>
#include <QDir>

#include <cmath>
#include <cstdio>

namespace {

// The palette: deep blue-black backgrounds, graphite housing, cyan light.
const QColor Ink(0x07, 0x0c, 0x16);
const QColor Night(0x0f, 0x1a, 0x2c);
const QColor Dusk(0x1b, 0x2c, 0x48);
const QColor Glow(0x38, 0xd6, 0xff);
const QColor GlowCore(0xc8, 0xf6, 0xff);

QColor WithAlpha(QColor colour, int alpha) {
  colour.setAlpha(alpha);
  return colour;
}

// How much of the module to draw: small sizes drop the fine details that would only
// blur into noise.
enum class Detail { Small, Full };

// A key of the housing: a rounded cap with its symbol engraved in light.
void DrawKey(QPainter& p, QPointF centre, qreal r, bool plus, Detail detail) {
  const QRectF cap(centre.x() - r, centre.y() - r, 2 * r, 2 * r);

  // Recess the key sits in.
  QRadialGradient recess(centre, r * 1.25);
  recess.setColorAt(0.70, QColor(0, 0, 0, 160));
  recess.setColorAt(1.00, QColor(0, 0, 0, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(recess);
  p.drawEllipse(centre, r * 1.25, r * 1.25);

  // Cap: lit from the top left.
  QLinearGradient face(cap.topLeft(), cap.bottomRight());
  face.setColorAt(0.0, QColor(0x5b, 0x67, 0x7a));
  face.setColorAt(0.5, QColor(0x33, 0x3c, 0x4b));
  face.setColorAt(1.0, QColor(0x1d, 0x23, 0x2e));
  p.setBrush(face);
  p.setPen(QPen(QColor(0x0b, 0x0f, 0x16), std::max<qreal>(0.6, r * 0.06)));
  p.drawEllipse(cap);

  if (detail == Detail::Full) {
    // Soft top highlight.
    QLinearGradient sheen(cap.topLeft(), QPointF(cap.left(), cap.center().y()));
    sheen.setColorAt(0.0, QColor(255, 255, 255, 70));
    sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sheen);
    p.drawEllipse(cap.adjusted(r * 0.18, r * 0.08, -r * 0.18, -r * 0.9));
  }

  // Symbol.
  const qreal arm = r * 0.46;
  const qreal width = std::max<qreal>(1.0, r * 0.20);
  p.setBrush(Qt::NoBrush);
  if (detail == Detail::Full) {
    p.setPen(QPen(WithAlpha(Glow, 90), width * 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(centre.x() - arm, centre.y()), QPointF(centre.x() + arm, centre.y()));
    if (plus)
      p.drawLine(QPointF(centre.x(), centre.y() - arm), QPointF(centre.x(), centre.y() + arm));
  }
  p.setPen(QPen(GlowCore, width, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(centre.x() - arm, centre.y()), QPointF(centre.x() + arm, centre.y()));
  if (plus)
    p.drawLine(QPointF(centre.x(), centre.y() - arm), QPointF(centre.x(), centre.y() + arm));
}

// The module, centred at `c` with outer radius `R`.
void DrawModule(QPainter& p, QPointF c, qreal R, Detail detail) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);

  // Shadow on whatever the module rests on.
  {
    const QPointF at(c.x(), c.y() + R * 0.08);
    QRadialGradient shadow(at, R * 1.12);
    shadow.setColorAt(0.80, QColor(0, 0, 0, 150));
    shadow.setColorAt(1.00, QColor(0, 0, 0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(at, R * 1.12, R * 1.12);
  }

  // Housing: graphite with a machined bevel.
  {
    QLinearGradient body(QPointF(c.x() - R, c.y() - R), QPointF(c.x() + R, c.y() + R));
    body.setColorAt(0.0, QColor(0x6d, 0x78, 0x8a));
    body.setColorAt(0.45, QColor(0x2e, 0x36, 0x44));
    body.setColorAt(1.0, QColor(0x10, 0x14, 0x1b));
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawEllipse(c, R, R);

    // Brushed-metal bevel: a conical sweep of light and shade around the rim.
    QConicalGradient bevel(c, 135);
    bevel.setColorAt(0.00, QColor(0xe6, 0xee, 0xf7));
    bevel.setColorAt(0.18, QColor(0x7c, 0x87, 0x98));
    bevel.setColorAt(0.38, QColor(0x2a, 0x31, 0x3c));
    bevel.setColorAt(0.50, QColor(0x14, 0x18, 0x20));
    bevel.setColorAt(0.62, QColor(0x2a, 0x31, 0x3c));
    bevel.setColorAt(0.82, QColor(0x7c, 0x87, 0x98));
    bevel.setColorAt(1.00, QColor(0xe6, 0xee, 0xf7));
    const qreal bevelWidth = R * 0.07;
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QBrush(bevel), bevelWidth));
    p.drawEllipse(c, R - bevelWidth / 2, R - bevelWidth / 2);
  }

  // Face: a slightly recessed dark plate.
  const qreal face = R * 0.86;
  {
    QRadialGradient plate(QPointF(c.x() - face * 0.3, c.y() - face * 0.4), face * 1.5);
    plate.setColorAt(0.0, QColor(0x2a, 0x33, 0x43));
    plate.setColorAt(0.6, QColor(0x15, 0x1b, 0x26));
    plate.setColorAt(1.0, QColor(0x0b, 0x0e, 0x14));
    p.setPen(QPen(QColor(0x06, 0x08, 0x0c), std::max<qreal>(0.6, R * 0.02)));
    p.setBrush(plate);
    p.drawEllipse(c, face, face);

    if (detail == Detail::Full) {
      // Inner shadow along the top edge of the recess.
      QRadialGradient inner(c, face);
      inner.setColorAt(0.88, QColor(0, 0, 0, 0));
      inner.setColorAt(1.00, QColor(0, 0, 0, 120));
      p.setPen(Qt::NoPen);
      p.setBrush(inner);
      p.drawEllipse(c, face, face);
    }
  }

  // LED ring around the socket: a halo, a coloured band and a bright core.
  const qreal ring = R * 0.42;
  {
    QRadialGradient halo(c, ring * 1.75);
    const qreal at = ring / (ring * 1.75);
    halo.setColorAt(0.0, WithAlpha(Glow, 0));
    halo.setColorAt(at * 0.62, WithAlpha(Glow, 0));
    halo.setColorAt(at, WithAlpha(Glow, detail == Detail::Full ? 150 : 170));
    halo.setColorAt(std::min<qreal>(1.0, at * 1.35), WithAlpha(Glow, 30));
    halo.setColorAt(1.0, WithAlpha(Glow, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawEllipse(c, ring * 1.75, ring * 1.75);

    p.setBrush(Qt::NoBrush);
    // Small icons get a bolder ring: it is what must still read at 32 pixels.
    const qreal band = detail == Detail::Full ? R * 0.075 : R * 0.10;
    p.setPen(QPen(WithAlpha(Glow, 230), std::max<qreal>(1.2, band)));
    p.drawEllipse(c, ring, ring);
    p.setPen(QPen(GlowCore, std::max<qreal>(0.7, R * 0.025)));
    p.drawEllipse(c, ring, ring);
  }

  // Jack socket: a polished collar around a dark hole.
  {
    const qreal collar = R * 0.25;
    QConicalGradient metal(c, 60);
    metal.setColorAt(0.00, QColor(0xf4, 0xf7, 0xfb));
    metal.setColorAt(0.25, QColor(0x8a, 0x94, 0xa3));
    metal.setColorAt(0.50, QColor(0x3b, 0x42, 0x4e));
    metal.setColorAt(0.75, QColor(0x9a, 0xa4, 0xb2));
    metal.setColorAt(1.00, QColor(0xf4, 0xf7, 0xfb));
    p.setPen(QPen(QColor(0x05, 0x07, 0x0a), std::max<qreal>(0.6, R * 0.015)));
    p.setBrush(metal);
    p.drawEllipse(c, collar, collar);

    const qreal hole = R * 0.14;
    QRadialGradient pit(QPointF(c.x() + hole * 0.2, c.y() + hole * 0.25), hole);
    pit.setColorAt(0.0, QColor(0x1c, 0x22, 0x2c));
    pit.setColorAt(0.7, QColor(0x05, 0x06, 0x09));
    pit.setColorAt(1.0, QColor(0x00, 0x00, 0x00));
    p.setPen(Qt::NoPen);
    p.setBrush(pit);
    p.drawEllipse(c, hole, hole);

    if (detail == Detail::Full) {
      // The ring's light caught on the collar's lower edge.
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(WithAlpha(Glow, 120), R * 0.012));
      p.drawArc(QRectF(c.x() - collar * 0.93, c.y() - collar * 0.93, collar * 1.86,
                       collar * 1.86),
                200 * 16, 140 * 16);
    }
  }

  // Volume keys: - at the left, + at the right.
  const qreal keyRadius = detail == Detail::Full ? R * 0.13 : R * 0.15;
  const qreal keyOffset = R * 0.69;
  DrawKey(p, QPointF(c.x() - keyOffset, c.y()), keyRadius, false, detail);
  DrawKey(p, QPointF(c.x() + keyOffset, c.y()), keyRadius, true, detail);

  // A glint on the housing's top left.
  if (detail == Detail::Full) {
    QRadialGradient glint(QPointF(c.x() - R * 0.55, c.y() - R * 0.62), R * 0.35);
    glint.setColorAt(0.0, QColor(255, 255, 255, 60));
    glint.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glint);
    p.drawEllipse(QPointF(c.x() - R * 0.55, c.y() - R * 0.62), R * 0.35, R * 0.35);
  }

  p.restore();
}

QImage Transparent(int width, int height) {
  QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

QImage Icon(int size) {
  QImage image = Transparent(size, size);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, true);
  // Leave room for the shadow; small icons use nearly the whole square.
  const qreal margin = size >= 128 ? size * 0.06 : size * 0.03;
  const qreal R = size / 2.0 - margin - size * 0.02;
  DrawModule(p, QPointF(size / 2.0, size / 2.0 - size * 0.01), R,
             size >= 64 ? Detail::Full : Detail::Small);
  return image;
}

QImage AboutPicture() {
  // The module beside a soft pool of its own light, on a transparent background so the
  // picture sits on any window colour.
  QImage image = Transparent(120, 80);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, true);
  const QPointF c(60, 40);
  QRadialGradient pool(c, 58);
  pool.setColorAt(0.0, WithAlpha(Glow, 70));
  pool.setColorAt(0.6, WithAlpha(Glow, 18));
  pool.setColorAt(1.0, WithAlpha(Glow, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(pool);
  p.drawEllipse(QRectF(2, 0, 116, 80));
  DrawModule(p, c, 35, Detail::Full);
  return image;
}

// Faint sound waves behind the splash text.
void DrawWaves(QPainter& p, const QRectF& area) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setBrush(Qt::NoBrush);
  for (int wave = 0; wave < 5; ++wave) {
    QPainterPath path;
    const qreal amplitude = 10 + wave * 7;
    const qreal period = 170 + wave * 38;
    const qreal phase = wave * 0.9;
    const qreal baseY = area.center().y() + 78;
    for (qreal x = area.left(); x <= area.right(); x += 2) {
      // Waves swell from the module outwards and fade towards the right edge.
      const qreal t = (x - area.left()) / area.width();
      const qreal envelope = std::sin(t * M_PI) * (1.0 - 0.4 * t);
      const qreal y = baseY + amplitude * envelope * std::sin(x / period * 2 * M_PI + phase);
      if (x == area.left())
        path.moveTo(x, y);
      else
        path.lineTo(x, y);
    }
    p.setPen(QPen(WithAlpha(Glow, 40 - wave * 6), 1.3));
    p.drawPath(path);
  }
  p.restore();
}

QImage Splash() {
  const int width = 722;
  const int height = 415;
  QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);

  // Background: a deep diagonal gradient, lit from behind the module.
  QLinearGradient base(QPointF(0, 0), QPointF(width, height));
  base.setColorAt(0.0, Dusk);
  base.setColorAt(0.55, Night);
  base.setColorAt(1.0, Ink);
  p.fillRect(image.rect(), base);

  const QPointF module(190, 200);
  QRadialGradient backlight(module, 300);
  backlight.setColorAt(0.0, WithAlpha(Glow, 60));
  backlight.setColorAt(0.35, WithAlpha(Glow, 18));
  backlight.setColorAt(1.0, WithAlpha(Glow, 0));
  p.fillRect(image.rect(), backlight);

  DrawWaves(p, QRectF(318, 60, 404, 300));

  // Vignette.
  QRadialGradient vignette(QPointF(width / 2.0, height / 2.0), width * 0.62);
  vignette.setColorAt(0.6, QColor(0, 0, 0, 0));
  vignette.setColorAt(1.0, QColor(0, 0, 0, 120));
  p.fillRect(image.rect(), vignette);

  DrawModule(p, module, 122, Detail::Full);

  // Title: "Orvane" light, "Ovitone" bold, on one line.
  const qreal textLeft = 348;
  const qreal textRoom = width - textLeft - 30;
  const QString maker = QStringLiteral("Orvane ");
  const QString product = QStringLiteral("Ovitone");
  QFont light(QStringLiteral("DejaVu Sans"));
  light.setStyleName(QStringLiteral("ExtraLight"));
  QFont bold(QStringLiteral("DejaVu Sans"));
  bold.setBold(true);
  // The largest size at which the whole title fits the room right of the module.
  for (int size = 48; size > 20; --size) {
    light.setPixelSize(size);
    bold.setPixelSize(size);
    if (QFontMetricsF(light).horizontalAdvance(maker) +
            QFontMetricsF(bold).horizontalAdvance(product) <= textRoom)
      break;
  }
  const qreal baseline = 190;
  p.setPen(QColor(0xdd, 0xe8, 0xf5));
  p.setFont(light);
  p.drawText(QPointF(textLeft, baseline), maker);
  const qreal makerWidth = QFontMetricsF(light).horizontalAdvance(maker);
  QLinearGradient productInk(QPointF(0, baseline - 40), QPointF(0, baseline));
  productInk.setColorAt(0.0, QColor(0xff, 0xff, 0xff));
  productInk.setColorAt(1.0, QColor(0xa9, 0xec, 0xff));
  p.setPen(QPen(QBrush(productInk), 1));
  p.setFont(bold);
  p.drawText(QPointF(textLeft + makerWidth, baseline), product);
  const qreal titleWidth = makerWidth + QFontMetricsF(bold).horizontalAdvance(product);

  // Accent rule under the title, fading out to the right.
  QLinearGradient accent(QPointF(textLeft, 0), QPointF(textLeft + titleWidth, 0));
  accent.setColorAt(0.0, WithAlpha(Glow, 230));
  accent.setColorAt(1.0, WithAlpha(Glow, 0));
  p.fillRect(QRectF(textLeft + 2, baseline + 16, titleWidth, 2), accent);

  QFont subtitle(QStringLiteral("DejaVu Sans"));
  subtitle.setPixelSize(21);
  subtitle.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
  p.setFont(subtitle);
  p.setPen(QColor(0x9f, 0xb6, 0xcf));
  p.drawText(QPointF(textLeft + 2, baseline + 50), QStringLiteral("Configuration Utility"));

  QFont small(QStringLiteral("DejaVu Sans"));
  small.setPixelSize(12);
  small.setLetterSpacing(QFont::AbsoluteSpacing, 0.8);
  p.setFont(small);
  p.setPen(QColor(0x74, 0x88, 0xa0));
  const QString version = QStringLiteral("Version 3.1");
  const qreal versionWidth = QFontMetricsF(small).horizontalAdvance(version);
  p.drawText(QPointF(width - 22 - versionWidth, height - 20), version);

  // A hairline frame keeps the dark edges from melting into a dark desktop.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(255, 255, 255, 28), 1));
  p.drawRect(QRectF(0.5, 0.5, width - 1, height - 1));
  return image;
}

bool Save(const QImage& image, const QString& folder, const QString& name) {
  const QString path = QDir(folder).filePath(name);
  if (!image.save(path, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s (%dx%d)\n", qPrintable(path), image.width(), image.height());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("resources");
  QDir().mkpath(folder);
  bool ok = Save(Splash(), folder, QStringLiteral("splash.png"));
  ok = Save(Icon(256), folder, QStringLiteral("ovitone.png")) && ok;
  // 32 to 64 for the desktop; 192 and 512 for the browser page's web app manifest.
  for (int size : {32, 48, 64, 192, 512})
    ok = Save(Icon(size), folder, QStringLiteral("ovitone-%1.png").arg(size)) && ok;
  ok = Save(AboutPicture(), folder, QStringLiteral("about.png")) && ok;
  return ok ? 0 : 1;
}
