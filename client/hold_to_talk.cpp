#include "client/hold_to_talk.h"

#include <QAbstractButton>
#include <QMouseEvent>
#include <QTimer>

HoldToTalk::HoldToTalk(QAbstractButton* button, std::function<bool()> mayTalk, std::function<bool()> talking,
                       QObject* parent)
    : QObject(parent), button_(button), mayTalk_(std::move(mayTalk)), talking_(std::move(talking)),
      holdTimer_(new QTimer(this)) {
    holdTimer_->setSingleShot(true);
    holdTimer_->setInterval(kHoldToTalkMs);
    connect(holdTimer_, &QTimer::timeout, this, [this] { held_ = pressed_; });
    // Press and release rather than click, so that holding can mean "only
    // while held".
    connect(button_, &QAbstractButton::pressed, this, &HoldToTalk::OnPressed);
    connect(button_, &QAbstractButton::released, this, &HoldToTalk::OnReleased);
    button_->installEventFilter(this);
}

// A press that finds the user silent starts speaking at once, so that a
// hold loses none of its first words. What the release does depends on how
// long the button was down: after a short press (a click) the floor stays
// toggled, after a hold it is given back.
void HoldToTalk::OnPressed() {
    if (!mayTalk_() || pressed_) return;
    pressed_ = true;
    held_ = false;
    leftButton_ = false;
    pressStartedSpeaking_ = !talking_();
    if (pressStartedSpeaking_) emit startSpeaking();
    holdTimer_->start();
}

void HoldToTalk::OnReleased() {
    if (!pressed_) return;
    const bool held = held_;
    const bool cancelled = leftButton_;
    Forget();
    if (!mayTalk_() || !talking_()) return;
    // A hold gives the floor back wherever it ends.
    if (held) {
        emit stopSpeaking();
        return;
    }
    // A click: the press that found the user silent already toggled, a
    // click while speaking toggles off. A press that left the button before
    // it ended is no click, and leaves the floor as it was before it.
    const bool toggleOff = pressStartedSpeaking_ ? cancelled : !cancelled;
    if (toggleOff) emit stopSpeaking();
}

// What the button itself does not report: a release outside it (which ends
// the press without a signal), the pointer leaving it (the button then
// reports a release, which is no click), and the focus leaving it while Space
// is down (its release will never come).
bool HoldToTalk::eventFilter(QObject* watched, QEvent* event) {
    if (watched != button_) return false;
    switch (event->type()) {
        case QEvent::MouseMove:
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            leftButton_ = !button_->rect().contains(mouse->position().toPoint());
            if (event->type() == QEvent::MouseButtonRelease && leftButton_ && pressed_) OnReleased();
            break;
        }
        case QEvent::FocusOut:
            if (pressed_) OnReleased();
            break;
        default:
            break;
    }
    return false;
}

void HoldToTalk::Forget() {
    holdTimer_->stop();
    pressed_ = false;
    held_ = false;
}
