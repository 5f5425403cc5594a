// Draws the jack module picture "Quendel.jpg": the Ovitone faceplate as the layout
// editor and the self test show it, 321 x 458 pixels, with the Vol Up and Vol Down keys,
// the audio jack socket with its LED ring and the Jack IN / Jack OUT zones where those
// windows lay their key buttons.
//
// Build and run (from the repository root):
//   g++ -std=c++20 -O2 -fPIC tools/draw_module_picture.cpp -o /tmp/draw_module_picture \
//       $(pkg-config --cflags --libs Qt6Gui)
//   QT_QPA_PLATFORM=offscreen /tmp/draw_module_picture resources/media/Quendel.jpg
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

namespace {

constexpr int Width = 321;
constexpr int Height = 458;

// Where the editor's key buttons lie, in picture pixels (window position minus the
// picture box's 28,91).
const QRect VolUpKey(33, 66, 103, 59);
const QRect VolDownKey(33, 151, 103, 59);
const QRect JackInZone(181, 299, 103, 26);
const QRect JackOutZone(181, 420, 103, 26);
const QPointF SocketCentre(232.5, 364.0);

const QRectF Plate(7.5, 6.5, 306, 446);
constexpr qreal PlateRadius = 18;

// Three passes of a separable box blur on a premultiplied image.
void Blur(QImage& image, int radius) {
  if (radius < 1) return;
  const int w = image.width(), h = image.height();
  std::vector<int> acc(4);
  auto pass = [&](bool horizontal) {
    QImage out(image.size(), image.format());
    const int lines = horizontal ? h : w, length = horizontal ? w : h;
    for (int line = 0; line < lines; ++line) {
      auto px = [&](int i) -> QRgb {
        i = std::clamp(i, 0, length - 1);
        return horizontal ? reinterpret_cast<const QRgb*>(image.constScanLine(line))[i]
                          : reinterpret_cast<const QRgb*>(image.constScanLine(i))[line];
      };
      int a = 0, r = 0, g = 0, b = 0;
      for (int i = -radius; i <= radius; ++i) {
        const QRgb p = px(i);
        a += qAlpha(p), r += qRed(p), g += qGreen(p), b += qBlue(p);
      }
      const int n = 2 * radius + 1;
      for (int i = 0; i < length; ++i) {
        const QRgb value = qRgba(r / n, g / n, b / n, a / n);
        if (horizontal) {
          reinterpret_cast<QRgb*>(out.scanLine(line))[i] = value;
        } else {
          reinterpret_cast<QRgb*>(out.scanLine(i))[line] = value;
        }
        const QRgb add = px(i + radius + 1), sub = px(i - radius);
        a += qAlpha(add) - qAlpha(sub), r += qRed(add) - qRed(sub);
        g += qGreen(add) - qGreen(sub), b += qBlue(add) - qBlue(sub);
      }
    }
    image = out;
  };
  for (int i = 0; i < 3; ++i) pass(true), pass(false);
}

// Paints `path` blurred by `radius` in `colour`, offset by `offset`.
void SoftShape(QPainter& p, const QPainterPath& path, const QColor& colour, int radius,
               QPointF offset = {}, QPainter::CompositionMode mode = QPainter::CompositionMode_SourceOver) {
  QImage layer(Width, Height, QImage::Format_ARGB32_Premultiplied);
  layer.fill(Qt::transparent);
  {
    QPainter lp(&layer);
    lp.setRenderHint(QPainter::Antialiasing);
    lp.translate(offset);
    lp.fillPath(path, colour);
  }
  Blur(layer, radius);
  p.save();
  p.setCompositionMode(mode);
  p.drawImage(0, 0, layer);
  p.restore();
}

QPainterPath Rounded(const QRectF& r, qreal radius) {
  QPainterPath path;
  path.addRoundedRect(r, radius, radius);
  return path;
}

// Horizontal brushing: every row a little lighter or darker, with fine grain along it.
void Brush(QImage& image, const QPainterPath& clip, QColor top, QColor bottom, int strength,
           unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> row(0.0, 1.0), grain(0.0, 1.0);
  QImage layer(image.size(), QImage::Format_ARGB32_Premultiplied);
  const QRectF bounds = clip.boundingRect();
  double slow = 0;
  for (int y = 0; y < layer.height(); ++y) {
    slow = 0.82 * slow + 0.18 * row(rng);
    const double rowShift = strength * (0.55 * slow + 0.45 * row(rng));
    const double t = std::clamp((y - bounds.top()) / std::max(1.0, bounds.height()), 0.0, 1.0);
    const double br = top.red() + t * (bottom.red() - top.red());
    const double bg = top.green() + t * (bottom.green() - top.green());
    const double bb = top.blue() + t * (bottom.blue() - top.blue());
    auto* line = reinterpret_cast<QRgb*>(layer.scanLine(y));
    double streak = 0;
    for (int x = 0; x < layer.width(); ++x) {
      streak = 0.93 * streak + 0.07 * grain(rng);
      const double v = rowShift + strength * 0.9 * streak + 0.8 * grain(rng);
      line[x] = qRgb(std::clamp(int(br + v), 0, 255), std::clamp(int(bg + v), 0, 255),
                     std::clamp(int(bb + v * 1.05), 0, 255));
    }
  }
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setClipPath(clip);
  p.drawImage(0, 0, layer);
}

// Engraved text: a dark edge above, a light edge below, the face in between.
void Engrave(QPainter& p, const QRectF& box, int flags, const QString& text, const QFont& font,
             const QColor& face, qreal depth = 1.0) {
  p.save();
  p.setFont(font);
  p.setPen(QColor(0, 0, 0, 170));
  p.drawText(box.translated(0, -depth), flags, text);
  p.setPen(QColor(255, 255, 255, 60));
  p.drawText(box.translated(0, depth), flags, text);
  p.setPen(face);
  p.drawText(box, flags, text);
  p.restore();
}

QFont Font(const char* family, qreal pixels, int weight = QFont::Normal, qreal spacing = 0) {
  QFont f(QString::fromLatin1(family));
  f.setPixelSize(int(pixels));
  f.setWeight(QFont::Weight(weight));
  if (spacing != 0) f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
  f.setHintingPreference(QFont::PreferNoHinting);
  return f;
}

void Screw(QPainter& p, QPointF c) {
  SoftShape(p, [&] { QPainterPath s; s.addEllipse(c + QPointF(0, 1.2), 7.2, 7.2); return s; }(),
            QColor(0, 0, 0, 150), 1);
  QRadialGradient head(c + QPointF(-2.5, -3), 9);
  head.setColorAt(0, QColor(0xe9, 0xec, 0xef));
  head.setColorAt(0.55, QColor(0x9c, 0xa2, 0xaa));
  head.setColorAt(1, QColor(0x5d, 0x63, 0x6b));
  p.setPen(QPen(QColor(0x2a, 0x2d, 0x31), 0.8));
  p.setBrush(head);
  p.drawEllipse(c, 6.4, 6.4);
  // Hex socket.
  QPolygonF hex;
  for (int i = 0; i < 6; ++i) {
    const double a = M_PI / 3 * i + M_PI / 6;
    hex << c + QPointF(2.9 * std::cos(a), 2.9 * std::sin(a));
  }
  QLinearGradient socket(c + QPointF(0, -3), c + QPointF(0, 3));
  socket.setColorAt(0, QColor(0x20, 0x22, 0x25));
  socket.setColorAt(1, QColor(0x4a, 0x4f, 0x55));
  p.setPen(Qt::NoPen);
  p.setBrush(socket);
  p.drawPolygon(hex);
}

// A raised key cap of satin aluminium sitting in the dark well.
void KeyCap(QPainter& p, const QRect& key, bool up) {
  const QRectF cap = QRectF(key).adjusted(1.5, 1.5, -1.5, -1.5);
  SoftShape(p, Rounded(cap, 9), QColor(0, 0, 0, 200), 3, QPointF(0, 3));
  // Side wall, then the face.
  QLinearGradient wall(cap.topLeft(), cap.bottomLeft());
  wall.setColorAt(0, QColor(0xd6, 0xda, 0xde));
  wall.setColorAt(1, QColor(0x5b, 0x61, 0x68));
  p.setPen(Qt::NoPen);
  p.setBrush(wall);
  p.drawRoundedRect(cap, 9, 9);

  QImage face(Width, Height, QImage::Format_ARGB32_Premultiplied);
  face.fill(Qt::transparent);
  const QRectF faceRect = cap.adjusted(1.6, 1.2, -1.6, -2.6);
  Brush(face, Rounded(faceRect, 8), QColor(0xc6, 0xcb, 0xd1), QColor(0xa2, 0xa8, 0xb0), 5,
        up ? 11u : 12u);
  p.drawImage(0, 0, face);
  // Dished face: darker towards the rim, a soft highlight across the upper half.
  QRadialGradient dish(faceRect.center() + QPointF(0, -6), faceRect.width() * 0.62);
  dish.setColorAt(0, QColor(255, 255, 255, 30));
  dish.setColorAt(0.7, QColor(255, 255, 255, 0));
  dish.setColorAt(1, QColor(0, 0, 0, 40));
  p.setBrush(dish);
  p.drawRoundedRect(faceRect, 8, 8);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(255, 255, 255, 120), 1));
  p.drawRoundedRect(faceRect.adjusted(0.5, 0.5, -0.5, -0.5), 7.5, 7.5);

  // The symbol sits in the half the button text leaves free: the top of Vol Up, the
  // bottom of Vol Down.
  const QPointF c(faceRect.center().x(), up ? key.top() + 21.5 : key.bottom() - 19.5);
  QPainterPath symbol;
  symbol.addRoundedRect(QRectF(c.x() - 9, c.y() - 2, 18, 4), 1.5, 1.5);
  if (up) symbol.addRoundedRect(QRectF(c.x() - 2, c.y() - 9, 4, 18), 1.5, 1.5);
  symbol.setFillRule(Qt::WindingFill);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 150));
  p.drawPath(symbol.translated(0, 1));
  p.setBrush(QColor(0x33, 0x38, 0x3f));
  p.drawPath(symbol.simplified());
}

// The label zone of a jack event: a printed light pad, with a pictogram beside it.
void JackZone(QPainter& p, const QRect& zone, bool in) {
  const QRectF pad = QRectF(zone).adjusted(1, 1, -1, -1);
  SoftShape(p, Rounded(pad, 6), QColor(0, 0, 0, 150), 2, QPointF(0, 1.5));
  QLinearGradient fill(pad.topLeft(), pad.bottomLeft());
  fill.setColorAt(0, QColor(0xdc, 0xe0, 0xe4));
  fill.setColorAt(1, QColor(0xb9, 0xbf, 0xc6));
  p.setPen(QPen(QColor(0x1c, 0x1f, 0x23), 1));
  p.setBrush(fill);
  p.drawRoundedRect(pad, 6, 6);
  p.setPen(QPen(QColor(255, 255, 255, 140), 1));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(pad.adjusted(1, 1, -1, -1), 5, 5);

  // Pictogram: a ring with an arrow into it (IN) or out of it (OUT).
  const QPointF ring(zone.left() - 17, zone.center().y() + 0.5);
  p.setPen(QPen(QColor(0xb8, 0xc0, 0xc9), 1.6));
  p.drawEllipse(ring + QPointF(5, 0), 4.5, 4.5);
  const QPointF tail = ring + QPointF(-11, 0), head = ring + QPointF(0, 0);
  const QPointF from = in ? tail : head + QPointF(-1, 0);
  const QPointF to = in ? head + QPointF(-1, 0) : tail;
  p.drawLine(from, to);
  const double dir = in ? 1 : -1;
  p.drawLine(to, to + QPointF(-3.5 * dir, -3.2));
  p.drawLine(to, to + QPointF(-3.5 * dir, 3.2));
}

void Socket(QPainter& p) {
  const QPointF c = SocketCentre;
  // LED ring: the glow, then the light pipe itself.
  QPainterPath ring;
  ring.addEllipse(c, 33, 33);
  ring.addEllipse(c, 26.5, 26.5);
  SoftShape(p, ring, QColor(0x3c, 0xc8, 0xff, 230), 5, {}, QPainter::CompositionMode_Plus);
  QRadialGradient pipe(c, 33);
  pipe.setColorAt(0.79, QColor(0x9f, 0xe8, 0xff));
  pipe.setColorAt(0.88, QColor(0xe8, 0xfb, 0xff));
  pipe.setColorAt(1.0, QColor(0x4a, 0xbf, 0xf2));
  p.setPen(Qt::NoPen);
  p.setBrush(pipe);
  p.drawPath(ring);
  p.setPen(QPen(QColor(0x0e, 0x4a, 0x66, 160), 0.8));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(c, 33, 33);

  // Chrome nut with a knurled rim.
  SoftShape(p, [&] { QPainterPath s; s.addEllipse(c + QPointF(0, 2), 25.5, 25.5); return s; }(),
            QColor(0, 0, 0, 190), 2);
  QConicalGradient chrome(c, 115);
  chrome.setColorAt(0.00, QColor(0xf4, 0xf6, 0xf8));
  chrome.setColorAt(0.18, QColor(0x8a, 0x91, 0x99));
  chrome.setColorAt(0.36, QColor(0xdf, 0xe3, 0xe7));
  chrome.setColorAt(0.55, QColor(0x6c, 0x73, 0x7b));
  chrome.setColorAt(0.75, QColor(0xc9, 0xce, 0xd4));
  chrome.setColorAt(0.90, QColor(0x7c, 0x83, 0x8b));
  chrome.setColorAt(1.00, QColor(0xf4, 0xf6, 0xf8));
  p.setPen(QPen(QColor(0x26, 0x29, 0x2d), 0.9));
  p.setBrush(chrome);
  p.drawEllipse(c, 25, 25);
  p.setPen(QPen(QColor(0x3a, 0x3f, 0x45, 150), 0.8));
  for (int i = 0; i < 72; ++i) {
    const double a = 2 * M_PI * i / 72;
    p.drawLine(c + QPointF(22.2 * std::cos(a), 22.2 * std::sin(a)),
               c + QPointF(24.6 * std::cos(a), 24.6 * std::sin(a)));
  }
  QRadialGradient face(c + QPointF(-5, -6), 24);
  face.setColorAt(0, QColor(0xf7, 0xf8, 0xfa));
  face.setColorAt(0.6, QColor(0xb5, 0xbb, 0xc2));
  face.setColorAt(1, QColor(0x80, 0x87, 0x8f));
  p.setPen(QPen(QColor(0x4a, 0x50, 0x57), 0.8));
  p.setBrush(face);
  p.drawEllipse(c, 20.5, 20.5);
  // Black insulator and the plug hole.
  QRadialGradient insulator(c + QPointF(-2, -3), 13);
  insulator.setColorAt(0, QColor(0x3d, 0x41, 0x47));
  insulator.setColorAt(1, QColor(0x0b, 0x0c, 0x0e));
  p.setPen(QPen(QColor(0x6d, 0x73, 0x7a), 0.8));
  p.setBrush(insulator);
  p.drawEllipse(c, 12, 12);
  QRadialGradient hole(c + QPointF(1.5, 2), 8);
  hole.setColorAt(0, QColor(0x00, 0x00, 0x00));
  hole.setColorAt(0.75, QColor(0x07, 0x07, 0x08));
  hole.setColorAt(1, QColor(0x2a, 0x2c, 0x30));
  p.setPen(Qt::NoPen);
  p.setBrush(hole);
  p.drawEllipse(c, 6.8, 6.8);
  // A glint of the gold contact deep inside, and the highlight on the hole's lip.
  p.setBrush(QColor(0xc8, 0x9b, 0x3c, 150));
  p.drawEllipse(c + QPointF(2.2, 2.6), 1.5, 1.1);
  p.setPen(QPen(QColor(255, 255, 255, 110), 1.0));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(c.x() - 7.2, c.y() - 7.2, 14.4, 14.4), 200 * 16, 110 * 16);
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("Quendel.jpg");

  QImage image(Width, Height, QImage::Format_ARGB32_Premultiplied);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  // Around the plate the window's own grey, so the picture has no visible edge.
  p.fillRect(image.rect(), QColor(0xef, 0xef, 0xef));

  const QPainterPath plate = Rounded(Plate, PlateRadius);
  SoftShape(p, plate, QColor(0, 0, 0, 120), 4, QPointF(0, 3));

  // Faceplate: dark anodised aluminium, brushed, lit from the top left.
  p.end();
  Brush(image, plate, QColor(0x3a, 0x3f, 0x46), QColor(0x26, 0x2a, 0x30), 4, 7u);
  p.begin(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.save();
  p.setClipPath(plate);
  QLinearGradient sheen(0, 0, Width, Height * 0.8);
  sheen.setColorAt(0.0, QColor(255, 255, 255, 26));
  sheen.setColorAt(0.35, QColor(255, 255, 255, 6));
  sheen.setColorAt(0.5, QColor(255, 255, 255, 18));
  sheen.setColorAt(0.62, QColor(255, 255, 255, 0));
  sheen.setColorAt(1.0, QColor(0, 0, 0, 30));
  p.fillRect(image.rect(), sheen);
  p.restore();
  // Chamfered edge: bright along the top, dark along the bottom.
  QLinearGradient edge(0, Plate.top(), 0, Plate.bottom());
  edge.setColorAt(0, QColor(0xb4, 0xba, 0xc2));
  edge.setColorAt(0.08, QColor(0x6a, 0x70, 0x78));
  edge.setColorAt(1, QColor(0x10, 0x12, 0x14));
  p.setPen(QPen(QBrush(edge), 2.2));
  p.setBrush(Qt::NoBrush);
  p.drawPath(Rounded(Plate.adjusted(1.1, 1.1, -1.1, -1.1), PlateRadius - 1));
  p.setPen(QPen(QColor(255, 255, 255, 34), 1));
  p.drawPath(Rounded(Plate.adjusted(3.5, 3.5, -3.5, -3.5), PlateRadius - 3));

  for (QPointF c : {QPointF(24, 23), QPointF(297, 23), QPointF(24, 436), QPointF(297, 436)}) {
    Screw(p, c);
  }

  // The volume well: a recess milled around the two keys.
  const QRectF well(23.5, 32.5, 123, 208);
  QLinearGradient wellFill(well.topLeft(), well.bottomLeft());
  wellFill.setColorAt(0, QColor(0x0d, 0x0f, 0x11));
  wellFill.setColorAt(1, QColor(0x1a, 0x1d, 0x21));
  p.setPen(Qt::NoPen);
  p.setBrush(wellFill);
  p.drawRoundedRect(well, 15, 15);
  p.save();
  p.setClipPath(Rounded(well, 15));
  QPainterPath wellRim;
  wellRim.addRect(QRectF(0, 0, Width, Height));
  wellRim.addRoundedRect(well.adjusted(0, 5, 0, 3), 15, 15);
  SoftShape(p, wellRim, QColor(0, 0, 0, 220), 3);
  p.restore();
  QLinearGradient lip(well.topLeft(), well.bottomLeft());
  lip.setColorAt(0, QColor(0, 0, 0, 200));
  lip.setColorAt(0.85, QColor(255, 255, 255, 20));
  lip.setColorAt(1, QColor(255, 255, 255, 95));
  p.setPen(QPen(QBrush(lip), 1.2));
  p.setBrush(Qt::NoBrush);
  p.drawRoundedRect(well.adjusted(-0.6, -0.6, 0.6, 0.6), 15.5, 15.5);

  // Volume LEDs: a light bar between the keys.
  const QRectF bar(50, 135.5, 69, 5);
  SoftShape(p, Rounded(bar.adjusted(-3, -2, 3, 2), 3), QColor(0x3c, 0xc8, 0xff, 220), 4, {},
            QPainter::CompositionMode_Plus);
  QLinearGradient barFill(bar.topLeft(), bar.bottomLeft());
  barFill.setColorAt(0, QColor(0xe8, 0xfb, 0xff));
  barFill.setColorAt(1, QColor(0x6f, 0xd4, 0xff));
  p.setPen(Qt::NoPen);
  p.setBrush(barFill);
  p.drawRoundedRect(bar, 2.5, 2.5);

  KeyCap(p, VolUpKey, true);
  KeyCap(p, VolDownKey, false);

  // Brand and model, engraved into the plate.
  const QRectF brandColumn(160, 0, 145, 0);
  Engrave(p, QRectF(brandColumn.left(), 44, brandColumn.width(), 34), Qt::AlignCenter,
          QStringLiteral("OVITONE"), Font("URW Gothic", 27, QFont::DemiBold, 1.5),
          QColor(0xd9, 0xde, 0xe3));
  Engrave(p, QRectF(brandColumn.left(), 80, brandColumn.width(), 14), Qt::AlignCenter,
          QStringLiteral("USB AUDIO ENCODER"), Font("DejaVu Sans", 8.5, QFont::Bold, 1.6),
          QColor(0x8e, 0x97, 0xa1));
  // Emblem: a jack tip sending out sound waves.
  {
    const QPointF e(232.5, 170);
    QPainterPath emblem;
    emblem.addEllipse(e, 40, 40);
    SoftShape(p, emblem, QColor(0, 0, 0, 120), 2, QPointF(0, 1.5));
    QRadialGradient disc(e + QPointF(-10, -14), 52);
    disc.setColorAt(0, QColor(0x4b, 0x51, 0x59));
    disc.setColorAt(1, QColor(0x24, 0x27, 0x2c));
    p.setPen(QPen(QColor(0x6c, 0x74, 0x7d), 1.0));
    p.setBrush(disc);
    p.drawEllipse(e, 39, 39);
    p.setPen(QPen(QColor(255, 255, 255, 40), 1));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(e, 35, 35);
    // Plug: tip, rings and sleeve, standing upright.
    QPainterPath plug;
    plug.addRoundedRect(QRectF(e.x() - 3.2, e.y() - 20, 6.4, 10), 3.2, 3.2);
    plug.addRect(QRectF(e.x() - 3.2, e.y() - 12, 6.4, 4));
    plug.addRect(QRectF(e.x() - 3.2, e.y() - 6.5, 6.4, 7));
    plug.addRect(QRectF(e.x() - 3.2, e.y() + 2, 6.4, 8));
    plug.addRoundedRect(QRectF(e.x() - 6.5, e.y() + 11, 13, 14), 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xc9, 0xcf, 0xd6));
    p.drawPath(plug);
    p.setPen(QPen(QColor(0x6f, 0xd4, 0xff), 2.2, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 2; ++i) {
      const double r = 12 + 8 * i;
      const QRectF arc(e.x() - r, e.y() - 14 - r, 2 * r, 2 * r);
      p.drawArc(arc, -30 * 16, 60 * 16);
      p.drawArc(arc, 150 * 16, 60 * 16);
    }
  }
  Engrave(p, QRectF(brandColumn.left(), 222, brandColumn.width(), 14), Qt::AlignCenter,
          QStringLiteral("MODEL PX4W-A"), Font("DejaVu Sans", 8, QFont::Bold, 1.2),
          QColor(0x7f, 0x88, 0x92));

  // The jack: two event zones above and below the socket.
  JackZone(p, JackInZone, true);
  JackZone(p, JackOutZone, false);
  Socket(p);
  // Headphones beside the socket.
  {
    const QPointF h(167, 362);
    p.setPen(QPen(QColor(0x9a, 0xa3, 0xad), 1.8, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(h.x() - 8, h.y() - 8, 16, 16), 0, 180 * 16);
    p.drawLine(h + QPointF(-8, 0), h + QPointF(-8, 4));
    p.drawLine(h + QPointF(8, 0), h + QPointF(8, 4));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x9a, 0xa3, 0xad));
    p.drawRoundedRect(QRectF(h.x() - 10.5, h.y() + 1, 5, 8), 1.5, 1.5);
    p.drawRoundedRect(QRectF(h.x() + 5.5, h.y() + 1, 5, 8), 1.5, 1.5);
  }

  // Lower left: the maker's name and the USB port.
  Engrave(p, QRectF(22, 262, 126, 16), Qt::AlignCenter, QStringLiteral("ORVANE"),
          Font("URW Gothic", 14, QFont::DemiBold, 2.5), QColor(0xb9, 0xc0, 0xc8));
  Engrave(p, QRectF(22, 279, 126, 12), Qt::AlignCenter, QStringLiteral("INTERFACE"),
          Font("DejaVu Sans", 7, QFont::Bold, 2.2), QColor(0x84, 0x8d, 0x97));
  {
    const QRectF port(62, 392, 46, 15);
    SoftShape(p, Rounded(port.adjusted(-2, -2, 2, 2), 8), QColor(0, 0, 0, 160), 2, QPointF(0, 1));
    QLinearGradient shell(port.topLeft(), port.bottomLeft());
    shell.setColorAt(0, QColor(0x6c, 0x72, 0x7a));
    shell.setColorAt(0.5, QColor(0xd8, 0xdc, 0xe0));
    shell.setColorAt(1, QColor(0x7a, 0x80, 0x88));
    p.setPen(QPen(QColor(0x14, 0x16, 0x18), 0.9));
    p.setBrush(shell);
    p.drawRoundedRect(port, 7.5, 7.5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x08, 0x09, 0x0a));
    p.drawRoundedRect(port.adjusted(2.5, 2.5, -2.5, -2.5), 5, 5);
    p.setBrush(QColor(0x3a, 0x3f, 0x46));
    p.drawRoundedRect(QRectF(port.left() + 9, port.center().y() - 1.6, port.width() - 18, 3.2), 1.2, 1.2);
    // USB trident above the port.
    const QPointF t(port.center().x(), 372);
    p.setPen(QPen(QColor(0x9a, 0xa3, 0xad), 1.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(t + QPointF(-11, 0), t + QPointF(11, 0));
    p.drawLine(t + QPointF(-5, 0), t + QPointF(-1, -5));
    p.drawLine(t + QPointF(-1, -5), t + QPointF(4, -5));
    p.drawLine(t + QPointF(2, 0), t + QPointF(5, 5));
    p.drawLine(t + QPointF(5, 5), t + QPointF(8, 5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x9a, 0xa3, 0xad));
    p.drawEllipse(t + QPointF(-12, 0), 2.3, 2.3);
    p.drawRect(QRectF(t.x() + 3.6, t.y() - 6.6, 3, 3));
    p.drawEllipse(t + QPointF(9.2, 5), 1.7, 1.7);
    p.drawPolygon(QPolygonF{t + QPointF(11, -2.6), t + QPointF(15, 0), t + QPointF(11, 2.6)});
    Engrave(p, QRectF(22, 411, 126, 12), Qt::AlignCenter, QStringLiteral("5 V DC  100 mA"),
            Font("DejaVu Sans", 7, QFont::Bold, 1.0), QColor(0x84, 0x8d, 0x97));
  }
  p.end();

  if (!image.convertToFormat(QImage::Format_RGB32).save(out, "JPG", 95)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
    return 1;
  }
  return 0;
}
