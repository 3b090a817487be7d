#pragma once

#include <QWidget>

#include <string>

// The form the view shows: the brown background with the white bordered area, and the one-line
// status display that the flash sequences write at 5,5.
class CFormView : public QWidget {
public:
    // The form's size: 274 x 57 dialog units of an 8-point dialog font.
    static QSize FormSize();

    explicit CFormView(QWidget* parent = nullptr);

    void SetStatus(int x, int y, const std::string& text);
    const std::string& Status() const { return m_status; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPoint m_statusAt{5, 5};
    std::string m_status;
};
