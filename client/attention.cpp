#include "client/attention.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

// Qt removes the filter by itself when this object goes.
Attention::Attention(QWidget* window, QObject* parent) : QObject(parent), window_(window) {
    window_->installEventFilter(this);
}

QString Attention::TitleWithCount(const QString& title, int n) {
    if (n <= 0) return title;
    return QStringLiteral("(%1) ").arg(n) + title;
}

void Attention::OnMessage() {
    if (window_->isActiveWindow()) return;
    if (unseen_ == 0) title_ = window_->windowTitle();
    ++unseen_;
    window_->setWindowTitle(TitleWithCount(title_, unseen_));
    // Until the window is activated, where the platform can flash at all.
    QApplication::alert(window_);
}

void Attention::Seen() {
    if (unseen_ == 0) return;
    unseen_ = 0;
    window_->setWindowTitle(title_);
}

bool Attention::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::WindowActivate) Seen();
    return QObject::eventFilter(watched, event);
}
