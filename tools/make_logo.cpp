// Draws framescope's logo: a thermal-coloured lens beside the name. Run at
// build time; writes the PNG given as the only argument.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>
#include <cstdio>

static const int LOGO_WIDTH = 260; // 130:73, the shape of the logo label
static const int LOGO_HEIGHT = 146;

static void DrawLens(QPainter &painter)
{
    QRadialGradient heat(QPointF(62, 66), 52, QPointF(72, 58));
    heat.setColorAt(0.0, QColor(255, 250, 210));
    heat.setColorAt(0.25, QColor(255, 190, 40));
    heat.setColorAt(0.5, QColor(220, 60, 30));
    heat.setColorAt(0.75, QColor(110, 20, 120));
    heat.setColorAt(1.0, QColor(20, 20, 70));
    painter.setPen(QPen(QColor(200, 205, 215), 4));
    painter.setBrush(heat);
    painter.drawEllipse(QPointF(66, 73), 48, 48);
}

static void DrawName(QPainter &painter)
{
    QFont font = painter.font();
    font.setPixelSize(30);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(QColor(235, 238, 245));
    painter.drawText(QRect(122, 36, 134, 40), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("frame"));
    painter.drawText(QRect(122, 70, 134, 40), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("scope"));
}

int main(int argc, char **argv)
{
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: framescope-logo OUTPUT.png\n");
        return 2;
    }
    QImage logo(LOGO_WIDTH, LOGO_HEIGHT, QImage::Format_RGB32);
    QLinearGradient ground(0, 0, 0, LOGO_HEIGHT);
    ground.setColorAt(0, QColor(40, 48, 62));
    ground.setColorAt(1, QColor(18, 22, 30));
    QPainter painter(&logo);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(logo.rect(), ground);
    DrawLens(painter);
    DrawName(painter);
    painter.end();
    if (!logo.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        fprintf(stderr, "framescope-logo: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
