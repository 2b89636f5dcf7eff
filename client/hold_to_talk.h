// The speak button's two ways of being used: a click takes or gives back the
// floor, a hold speaks only while the button is down. It watches the button
// (mouse and Space alike) and says what the user asked for; the owner does
// the speaking.
#pragma once

#include <functional>

#include <QObject>

class QAbstractButton;
class QEvent;
class QTimer;

class HoldToTalk : public QObject {
    Q_OBJECT
public:
    // Holding the button longer than this speaks only while it is held.
    static constexpr int kHoldToTalkMs = 300;

    // mayTalk: whether a press may start anything (a session is on);
    // talking: whether the user has the floor. Both are asked at each press
    // and release.
    HoldToTalk(QAbstractButton* button, std::function<bool()> mayTalk, std::function<bool()> talking,
               QObject* parent = nullptr);

    // The button has been down long enough to count as a hold.
    bool IsHeld() const { return pressed_ && held_; }
    // Forgets a press under way (the session ended): its release does nothing.
    void Forget();

signals:
    void startSpeaking();
    void stopSpeaking();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnPressed();
    void OnReleased();

    QAbstractButton* button_;
    std::function<bool()> mayTalk_;
    std::function<bool()> talking_;
    QTimer* holdTimer_;
    // The button is down; it has been down past the hold time; the press is
    // what started speaking.
    bool pressed_ = false;
    bool held_ = false;
    bool pressStartedSpeaking_ = false;
    // The pointer was off the button at the press's last move or release.
    bool leftButton_ = false;
};
