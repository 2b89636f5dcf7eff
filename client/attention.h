// Draws the user back to messages that came while the window was behind
// others or minimised: the taskbar entry flashes (the platform's alert) and
// the window title counts them, "(3) Tessik", until the window is active
// again, when the title is as it was.
#pragma once

#include <QObject>
#include <QString>

class QWidget;

class Attention : public QObject {
    Q_OBJECT
public:
    // Watches window, which must outlive this object (a member of the
    // window, for example).
    explicit Attention(QWidget* window, QObject* parent = nullptr);

    // A message the user has not seen may have arrived: counted, and the
    // window alerted, only when the window is not the active one.
    void OnMessage();
    // Messages counted since the window was last active.
    int Unseen() const { return unseen_; }

    // The window's title with n unseen messages; the title itself for 0.
    static QString TitleWithCount(const QString& title, int n);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Seen();

    QWidget* window_;
    int unseen_ = 0;
    // The title before the count was put in front of it.
    QString title_;
};
