// The dialog: its controls from the template, field exchange, which controls
// are enabled, Enter routing, the message box, the context menu with the
// about box; the session as the user sees it (login, logout, the timer's
// tick), what server messages do to the controls, and the speak button.
#include "client/chat_client_dlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

#include <limits>

#include "client/about_box.h"
#include "client/byte_limit_validator.h"
#include "client/dialog_layout.h"
#include "client/field_checks.h"
#include "client/icons.h"
#include "client/strings.h"
#include "protocol/messages.h"

using namespace tessik;

namespace {

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToBytes(const QString& text) { return text.toStdString(); }

// Line ends as the log control keeps them.
QString ToLogText(std::string_view text) {
    QString result = ToQString(text);
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return result;
}

void FocusAndSelect(QLineEdit* edit) {
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}

}  // namespace

CChatClientDlg::CChatClientDlg(QWidget* parent) : QDialog(parent) {
    icon_ = LoadIcon(IDI_PROGRAM);
    BuildControls();
    InitDialog();
    connection_.SetMessageNotifier([this] { RequestTick(); });
    voice_.SetCaptureNotifier([this] { RequestTick(); });
}

// A posted call to a QObject is dropped if the object goes away first, and
// the threads that call this are joined before the dialog's QObject is.
void CChatClientDlg::RequestTick() {
    if (tickRequested_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            tickRequested_.store(false);
            TimerTick();
        },
        Qt::QueuedConnection);
}

CChatClientDlg::~CChatClientDlg() {
    timer_->stop();
    holdTimer_->stop();
    // The connection ends its attempt, closes and joins its receive thread
    // as it goes away.
}

void CChatClientDlg::BuildControls() {
    setObjectName(QString::number(IDD_CHATCLIENT_DIALOG));
    setWindowTitle(ToQString(kMainDialog.caption));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFont(DialogFont());
    DialogUnits units(font());
    setFixedSize(units.ToPixels(kMainDialog));

    for (const ControlTemplate& control : kMainDialogControls) {
        const QString caption = ToQString(control.caption);
        QWidget* widget = nullptr;
        switch (control.kind) {
            case ControlKind::kLabel: {
                auto* label = new QLabel(caption, this);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label->setObjectName(caption);
                widget = label;
                break;
            }
            case ControlKind::kLineEdit: {
                auto* edit = new QLineEdit(this);
                edit->setMaxLength(std::numeric_limits<int>::max());
                widget = edit;
                break;
            }
            case ControlKind::kMultiLineEdit: {
                auto* edit = new QPlainTextEdit(this);
                edit->setLineWrapMode(QPlainTextEdit::NoWrap);
                edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
                edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                edit->setTabChangesFocus(true);
                // The program only appends; an undo history would keep a
                // second copy of the whole session's log.
                edit->setUndoRedoEnabled(false);
                widget = edit;
                break;
            }
            case ControlKind::kPushButton: {
                auto* button = new QPushButton(caption, this);
                // Enter is routed by the dialog; no button is pressed by it.
                button->setAutoDefault(false);
                button->setDefault(false);
                widget = button;
                break;
            }
            case ControlKind::kListView: {
                auto* list = new QListWidget(this);
                list->setViewMode(QListView::ListMode);
                list->setSelectionMode(QAbstractItemView::SingleSelection);
                list->setAccessibleName(caption);
                widget = list;
                break;
            }
            case ControlKind::kIcon:
                break;
        }
        if (!widget) continue;
        if (control.id != IDC_NONE) widget->setObjectName(QString::number(control.id));
        widget->setGeometry(units.ToPixels(control));
        widget->installEventFilter(this);
    }
    installEventFilter(this);

    hostEdit_ = findChild<QLineEdit*>(QString::number(IDC_HOST));
    nameEdit_ = findChild<QLineEdit*>(QString::number(IDC_NAME));
    portEdit_ = findChild<QLineEdit*>(QString::number(IDC_PORT));
    postEdit_ = findChild<QLineEdit*>(QString::number(IDC_POST_TEXT));
    messageLog_ = findChild<QPlainTextEdit*>(QString::number(IDC_LOG));
    loginButton_ = findChild<QPushButton*>(QString::number(IDC_LOGIN));
    logoutButton_ = findChild<QPushButton*>(QString::number(IDC_LOGOUT));
    speakButton_ = findChild<QPushButton*>(QString::number(IDC_SPEAK));
    postButton_ = findChild<QPushButton*>(QString::number(IDC_POST));
    memberView_ = findChild<QListWidget*>(QString::number(IDC_MEMBERS));

    connect(loginButton_, &QPushButton::clicked, this, &CChatClientDlg::Login);
    connect(logoutButton_, &QPushButton::clicked, this, &CChatClientDlg::RequestLogout);
    connect(postButton_, &QPushButton::clicked, this, &CChatClientDlg::PostText);
    // The speak button works on press and release rather than on click, so
    // that holding it can mean "only while held".
    connect(speakButton_, &QPushButton::pressed, this, &CChatClientDlg::OnSpeakPressed);
    connect(speakButton_, &QPushButton::released, this, &CChatClientDlg::OnSpeakReleased);
}

void CChatClientDlg::InitDialog() {
    // The about box entry goes where a Linux user looks for it: the
    // dialog's context menu.
    contextMenu_ = new QMenu(this);
    std::string_view aboutText = LoadString(IDS_ABOUTBOX);
    if (!aboutText.empty()) {
        contextMenu_->addSeparator();
        contextMenu_->addAction(ToQString(aboutText), this, &CChatClientDlg::ShowAboutBox);
    }
    setWindowIcon(icon_);

    host_ = "localhost";
    name_ = "(No name)";
    port_ = kPortMin;
    nameEdit_->setValidator(new ByteLimitValidator(kNameLimit, nameEdit_));
    ShowFields();
    UpdateButtons();

    memberView_->setIconSize(QSize(12, 12));
    memberIcon_ = LoadIcon(IDI_MEMBER);
    speakerIcon_ = LoadIcon(IDI_SPEAKER);

    timer_ = new QTimer(this);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &CChatClientDlg::TimerTick);
    timer_->start(kTimerPeriodMs);

    holdTimer_ = new QTimer(this);
    holdTimer_->setSingleShot(true);
    holdTimer_->setInterval(kHoldToTalkMs);
    connect(holdTimer_, &QTimer::timeout, this, [this] { speakHeld_ = speakPressed_; });

    hostEdit_->setFocus(Qt::OtherFocusReason);
}

QWidget* CChatClientDlg::Control(int id) const { return findChild<QWidget*>(QString::number(id)); }

// ---- Field exchange ----

void CChatClientDlg::ShowFields() {
    hostEdit_->setText(ToQString(host_));
    nameEdit_->setText(ToQString(name_));
    portEdit_->setText(QString::number(port_));
    postEdit_->setText(ToQString(postText_));
}

bool CChatClientDlg::ReadFields() {
    host_ = FirstLine(ToBytes(hostEdit_->text()));

    std::string name = FirstLine(ToBytes(nameEdit_->text()));
    FieldCheck check = CheckTextField(name, kNameLimit);
    if (check != FieldCheck::kOk) {
        ShowMessage(FieldCheckMessage(check, kNameLimit));
        FocusAndSelect(nameEdit_);
        return false;
    }
    name_ = name;

    int port = 0;
    check = CheckIntegerField(ToBytes(portEdit_->text()), kPortMin, kPortMax, &port);
    if (check != FieldCheck::kOk) {
        ShowMessage(FieldCheckMessage(check, kPortMin, kPortMax));
        FocusAndSelect(portEdit_);
        return false;
    }
    port_ = port;

    postText_ = FirstLine(ToBytes(postEdit_->text()));
    return true;
}

void CChatClientDlg::LoginAs(const std::string& host, int port, const std::string& name) {
    hostEdit_->setText(ToQString(host));
    nameEdit_->setText(ToQString(name));
    portEdit_->setText(QString::number(port));
    Login();
}

// ---- Enabling ----

void CChatClientDlg::UpdateButtons() { EnableControls(loggedIn_); }

void CChatClientDlg::EnableControls(bool session) {
    // While connecting, what the attempt was started with stays as it is on
    // screen, and logout is how to give up.
    const bool connecting = connection_.IsConnecting();
    hostEdit_->setEnabled(!connecting);
    nameEdit_->setEnabled(!connecting);
    portEdit_->setEnabled(!connecting);
    loginButton_->setEnabled(!session && !connecting);
    logoutButton_->setEnabled(session || connecting);
    speakButton_->setEnabled(session);
    postButton_->setEnabled(session);
}

// ---- Enter routing ----

bool CChatClientDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == speakButton_) WatchSpeakButton(event);
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            RouteEnter();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CChatClientDlg::RouteEnter() {
    QWidget* focus = focusWidget();
    if (focus == loginButton_) {
        Login();
    } else if (focus == logoutButton_) {
        RequestLogout();
    } else if (focus == postButton_) {
        PostText();
    } else if (loginButton_->isEnabled()) {
        Login();
    } else {
        PostText();
    }
}

// ---- Message box ----

void CChatClientDlg::SetMessageHook(MessageHook hook) { messageHook_ = std::move(hook); }

void CChatClientDlg::ShowMessage(std::string_view text) {
    if (messageHook_) {
        messageHook_(std::string(text));
        return;
    }
    QMessageBox box(QMessageBox::Warning, ToQString(kProgramName), ToLogText(text), QMessageBox::Ok, this);
    box.exec();
}

// ---- Context menu and about box ----

void CChatClientDlg::contextMenuEvent(QContextMenuEvent* event) {
    contextMenu_->exec(event->globalPos());
    event->accept();
}

void CChatClientDlg::ShowAboutBox() {
    CAboutBox about(this);
    about.exec();
}

// ---- Close ----

void CChatClientDlg::closeEvent(QCloseEvent* event) {
    connection_.CancelConnect();
    connection_.ResetMessage();
    memberList_.Clear();
    QDialog::closeEvent(event);
}

// Every way the dialog ends (close box, Esc) gives up a connection attempt
// at once.
void CChatClientDlg::done(int result) {
    connection_.CancelConnect();
    UpdateButtons();
    QDialog::done(result);
}

// ---- Views ----

void CChatClientDlg::RebuildMemberView() {
    memberView_->clear();
    const std::vector<int>& ids = memberList_.Ids();
    const std::vector<std::string>& names = memberList_.Names();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const QIcon& icon = memberList_.IsSpeaking(ids[i]) ? speakerIcon_ : memberIcon_;
        memberView_->addItem(new QListWidgetItem(icon, ToQString(names[i])));
    }
}

void CChatClientDlg::AppendToLog(const std::string& text) {
    // Insert at the end only: the cost of a line does not grow with the log,
    // and whatever the user typed into the log stays where it is.
    QTextCursor end(messageLog_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(ToLogText(text));
    QScrollBar* bar = messageLog_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

// ---- Session ----

void CChatClientDlg::Login() {
    if (loggedIn_ || connection_.IsConnecting()) return;
    ownId_ = 0;
    ownVoicePass_ = 0;
    if (!ReadFields()) return;
    // Looking up and connecting go on while the dialog keeps running; the
    // timer takes the attempt on. An address on this machine may well be
    // connected already.
    connection_.BeginConnect(host_, port_);
    UpdateButtons();
    ContinueLogin();
}

void CChatClientDlg::ContinueLogin() {
    switch (connection_.PollConnect()) {
        case CServerConnection::Attempt::kNone:
        case CServerConnection::Attempt::kConnecting:
            return;
        case CServerConnection::Attempt::kHostNotFound:
            UpdateButtons();
            ShowMessage(kHostNotFound);
            return;
        case CServerConnection::Attempt::kFailed:
            UpdateButtons();
            ShowMessage(kConnectFailed);
            return;
        case CServerConnection::Attempt::kConnected:
            BeginSession();
            return;
    }
}

void CChatClientDlg::BeginSession() {
    // The receive thread runs before the login leaves, so no reply is missed.
    connection_.Send(protocol::BuildLogin(name_));
    connection_.Send(protocol::BuildWhoAreLogin());
    // Only a server that knows the request answers it; others ignore it.
    connection_.Send(protocol::BuildWhoAreSpeaking());

    memberView_->clear();
    postText_.clear();
    ShowFields();
    EnableControls(true);
    postEdit_->setFocus(Qt::OtherFocusReason);
    // Logged in only once the sound devices are open: a message box about
    // them runs its own event loop, and the ticks meanwhile must not yet
    // take this for a session.
    voice_.Open();
    loggedIn_ = true;
}

void CChatClientDlg::RequestLogout() {
    if (connection_.IsConnecting()) {
        connection_.CancelConnect();
        UpdateButtons();
        return;
    }
    // Only a session has a connection to send on.
    if (!loggedIn_) return;
    if (IsSpeaking()) StopSpeaking();
    connection_.Send(protocol::BuildLogout());
}

void CChatClientDlg::CloseSession() {
    if (!loggedIn_) return;
    StopSpeaking();
    ForgetSpeakPress();
    voice_.Close();
    // The receive thread's read fails at once and the thread ends; it is
    // joined before anything it uses is renewed or released.
    connection_.Close();

    memberList_.Clear();
    memberView_->clear();
    ownId_ = 0;
    ownVoicePass_ = 0;
    loggedIn_ = false;
    UpdateButtons();
}

void CChatClientDlg::TimerTick() {
    // A message box opened by this tick runs its own event loop; ticks that
    // arrive meanwhile return here, and this one goes on once it is closed.
    if (!tickGate_) return;
    tickGate_ = false;
    if (connection_.IsConnecting()) ContinueLogin();
    if (loggedIn_) {
        // Whatever the thread posted before it ended is handled first, so a
        // late tick loses neither the last lines nor the server's own
        // announcement of the end.
        bool threadEnded = connection_.ReceiveThreadEnded();
        std::string line;
        while (connection_.TakeLine(line)) {
            if (!line.empty()) {
                ParseLine(line);
            } else {
                ApplyMessage();
                ResetMessage();
            }
        }
        if (!threadEnded) {
            voice_.Tick(connection_, ownId_);
        } else if (loggedIn_) {
            ShowMessage(kConnectionLost);
            CloseSession();
        }
    }
    tickGate_ = true;
}

// ---- Server messages and posting ----

void CChatClientDlg::ParseLine(std::string_view line) { connection_.ParseLine(line); }

void CChatClientDlg::ResetMessage() { connection_.ResetMessage(); }

void CChatClientDlg::ApplyMessage() {
    IncomingMessage& message = connection_.Incoming();
    MessageOutcome outcome = message.Apply(memberList_);
    if (outcome.takeIdentity) {
        ownId_ = outcome.id;
        ownVoicePass_ = outcome.voicePass;
    }
    if (outcome.closeSession) CloseSession();
    if (outcome.membersChanged) RebuildMemberView();
    if (!outcome.logText.empty()) AppendToLog(outcome.logText);
    if (outcome.playVoice) voice_.PlayReceivedVoice(message.voiceFrame.data());
    // Told after the session is closed: the controls already show it.
    if (!outcome.notice.empty()) ShowMessage(outcome.notice);
}

void CChatClientDlg::PostText() {
    if (!loggedIn_) return;
    if (!ReadFields()) return;
    if (!postText_.empty()) connection_.Send(protocol::BuildMessage(postText_));
    postText_.clear();
    ShowFields();
}

// ---- Speaking ----

void CChatClientDlg::OnSpeakButton() {
    // Only a session has a connection to tell.
    if (!loggedIn_) return;
    if (IsSpeaking()) {
        StopSpeaking();
    } else {
        StartSpeaking();
    }
}

void CChatClientDlg::StartSpeaking() {
    voice_.StartSending();
    speakButton_->setText(ToQString(kSpeakActive));
    connection_.Send(protocol::BuildVoiceStart());
}

void CChatClientDlg::StopSpeaking() {
    voice_.StopSending();
    speakButton_->setText(ToQString(kSpeakStopped));
    connection_.Send(protocol::BuildVoiceStop());
}

// A press that finds the user silent starts speaking at once, so that a
// hold loses none of its first words. What the release does depends on how
// long the button was down: after a short press (a click) the floor stays
// toggled, after a hold it is given back.
void CChatClientDlg::OnSpeakPressed() {
    if (!loggedIn_ || speakPressed_) return;
    speakPressed_ = true;
    speakHeld_ = false;
    speakLeftButton_ = false;
    pressStartedSpeaking_ = !IsSpeaking();
    if (pressStartedSpeaking_) OnSpeakButton();
    holdTimer_->start();
}

void CChatClientDlg::OnSpeakReleased() {
    if (!speakPressed_) return;
    const bool held = speakHeld_;
    const bool cancelled = speakLeftButton_;
    ForgetSpeakPress();
    if (!loggedIn_ || !IsSpeaking()) return;
    // A hold gives the floor back wherever it ends.
    if (held) {
        OnSpeakButton();
        return;
    }
    // A click: the press that found the user silent already toggled, a
    // click while speaking toggles off. A press that left the button before
    // it ended is no click, and leaves the floor as it was before it.
    const bool toggleOff = pressStartedSpeaking_ ? cancelled : !cancelled;
    if (toggleOff) OnSpeakButton();
}

// What the button itself does not report: a release outside it (which ends
// the press without a signal), the pointer leaving it (the button then
// reports a release, which is no click), and the focus leaving it while Space
// is down (its release will never come).
void CChatClientDlg::WatchSpeakButton(QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseMove:
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            speakLeftButton_ = !speakButton_->rect().contains(mouse->position().toPoint());
            if (event->type() == QEvent::MouseButtonRelease && speakLeftButton_ && speakPressed_) OnSpeakReleased();
            break;
        }
        case QEvent::FocusOut:
            if (speakPressed_) OnSpeakReleased();
            break;
        default:
            break;
    }
}

void CChatClientDlg::ForgetSpeakPress() {
    holdTimer_->stop();
    speakPressed_ = false;
    speakHeld_ = false;
}
