#include "shell/qt/FormView.h"

#include <QFontMetrics>
#include <QPainter>

namespace {
constexpr int kFormWidthDlu = 274;
constexpr int kFormHeightDlu = 57;
constexpr int kDialogFontPoints = 8;
const QColor kBackground(128, 64, 0);
constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
}  // namespace

QSize CFormView::FormSize() {
    // Dialog units: a quarter of the font's average character width, an eighth of its height.
    QFont font("MS Sans Serif");
    font.setPointSize(kDialogFontPoints);
    const QFontMetrics metrics(font);
    const int baseWidth = (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2;
    const int baseHeight = metrics.height();
    return {kFormWidthDlu * baseWidth / 4, kFormHeightDlu * baseHeight / 8};
}

CFormView::CFormView(QWidget* parent) : QWidget(parent) {
    setFixedSize(FormSize());
    setAutoFillBackground(false);
}

void CFormView::SetStatus(int x, int y, const std::string& text) {
    m_statusAt = {x, y};
    m_status = text;
    repaint();  // seen at once, even while a sequence keeps the window busy
}

void CFormView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
    painter.setPen(Qt::black);
    painter.setBrush(Qt::white);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    if (m_status.find_first_not_of(' ') != std::string::npos) {
        const QFontMetrics metrics(painter.font());
        painter.drawText(m_statusAt + QPoint(0, metrics.ascent()),
                         QString::fromStdString(m_status));
    }
}
