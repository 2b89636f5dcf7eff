// The dialog: its controls from the template, field exchange (remembered
// between runs), which controls are enabled, Enter routing, the message
// boxes, the context menu with saving the log and the about box, and what
// the session's news does to the controls.
#include "client/chat_client_dlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

#include "client/about_box.h"
#include "client/byte_limit_validator.h"
#include "client/dialog_controls.h"
#include "client/dialog_layout.h"
#include "client/field_checks.h"
#include "client/icons.h"
#include "client/log_file.h"
#include "client/remembered_fields.h"
#include "client/strings.h"

using namespace tessik;

namespace {

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToBytes(const QString& text) { return text.toStdString(); }

// Line ends as Qt's text widgets show them.
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
    reconnect_ = new ReconnectDriver(session_, this);
    InitDialog();
    ConnectSession();
    session_.Connection().SetMessageNotifier([this] { RequestTick(); });
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
    // The speak button may yet lose the focus as it goes away; no press is
    // left for that to end.
    holdToTalk_->Forget();
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

    CreateControls(this, kMainDialogControls, units, this);
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
}

void CChatClientDlg::InitDialog() {
    // The about box entry goes where a Linux user looks for it: the
    // dialog's context menu.
    contextMenu_ = new QMenu(this);
    contextMenu_->addAction(ToQString(kSaveLogMenuText), this, &CChatClientDlg::SaveLog);
    std::string_view aboutText = LoadString(IDS_ABOUTBOX);
    if (!aboutText.empty()) {
        contextMenu_->addSeparator();
        contextMenu_->addAction(ToQString(aboutText), this, &CChatClientDlg::ShowAboutBox);
    }
    contextMenu_->addSeparator();
    // Noise suppression and gain control of wideband voice, on by default.
    QAction* denoise = contextMenu_->addAction(ToQString(kNoiseSuppressionMenuText));
    denoise->setCheckable(true);
    denoise->setChecked(voice_.NoiseSuppression());
    connect(denoise, &QAction::toggled, this, [this](bool on) { voice_.SetNoiseSuppression(on); });
    QAction* gain = contextMenu_->addAction(ToQString(kAutomaticGainMenuText));
    gain->setCheckable(true);
    gain->setChecked(voice_.AutomaticGain());
    connect(gain, &QAction::toggled, this, [this](bool on) { voice_.SetAutomaticGain(on); });
    setWindowIcon(icon_);

    // What the user last logged in with; the first start gets the defaults.
    const RememberedFields fields = LoadRememberedFields(*OpenUserSettings());
    host_ = fields.host;
    name_ = fields.name;
    port_ = fields.port;
    nameEdit_->setValidator(new ByteLimitValidator(kNameLimit, nameEdit_));
    ShowFields();
    UpdateButtons();

    log_ = new MessageLog(messageLog_, this);
    memberView_->setIconSize(QSize(12, 12));
    memberIcon_ = LoadIcon(IDI_MEMBER);
    speakerIcon_ = LoadIcon(IDI_SPEAKER);

    timer_ = new QTimer(this);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &CChatClientDlg::TimerTick);
    timer_->start(kTimerPeriodMs);

    holdToTalk_ = new HoldToTalk(
        speakButton_, [this] { return session_.IsLoggedIn(); }, [this] { return session_.IsSpeaking(); }, this);
    connect(holdToTalk_, &HoldToTalk::startSpeaking, &session_, &ChatSession::StartSpeaking);
    connect(holdToTalk_, &HoldToTalk::stopSpeaking, &session_, &ChatSession::StopSpeaking);

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

void CChatClientDlg::UpdateButtons() { EnableControls(session_.IsLoggedIn()); }

void CChatClientDlg::EnableControls(bool session) {
    // While connecting, what the attempt was started with stays as it is on
    // screen, and logout is how to give up.
    const bool connecting = session_.IsConnecting() || reconnect_->IsReconnecting();
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

void CChatClientDlg::ShowNotice(std::string_view text) {
    // Outside the tick that told it: a box opened inside a tick would hold
    // the ticks, and the tries with them, until it is closed.
    QTimer::singleShot(0, this, [this, text = std::string(text)] {
        if (messageHook_) {
            messageHook_(text);
            return;
        }
        auto* box = new QMessageBox(QMessageBox::Warning, ToQString(kProgramName), ToLogText(text),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->show();
    });
}

// ---- Context menu and about box ----

void CChatClientDlg::contextMenuEvent(QContextMenuEvent* event) {
    contextMenu_->exec(event->globalPos());
    event->accept();
}

void CChatClientDlg::SaveLog() {
    std::string error;
    if (!log_->Save(&error)) ShowMessage(error);
}

void CChatClientDlg::ShowAboutBox() {
    CAboutBox about(this);
    about.exec();
}

// ---- Close ----

void CChatClientDlg::closeEvent(QCloseEvent* event) {
    reconnect_->Stop();
    session_.Abandon();
    QDialog::closeEvent(event);
}

// Every way the dialog ends (close box, Esc) gives up a connection attempt
// at once.
void CChatClientDlg::done(int result) {
    reconnect_->Stop();
    session_.CancelConnect();
    QDialog::done(result);
}

// ---- Views ----

void CChatClientDlg::RebuildMemberView() {
    memberView_->clear();
    const MemberList& members = session_.Members();
    const std::vector<int>& ids = members.Ids();
    const std::vector<std::string>& names = members.Names();
    for (std::size_t i = 0; i < names.size(); ++i) {
        const QIcon& icon = members.IsSpeaking(ids[i]) ? speakerIcon_ : memberIcon_;
        memberView_->addItem(new QListWidgetItem(icon, ToQString(names[i])));
    }
}

// ---- Session ----

void CChatClientDlg::ConnectSession() {
    ChatSession* session = &session_;
    connect(session, &ChatSession::attemptChanged, this, &CChatClientDlg::UpdateButtons);
    connect(session, &ChatSession::sessionStarted, this, &CChatClientDlg::ShowSessionStarted);
    connect(session, &ChatSession::membersChanged, this, &CChatClientDlg::RebuildMemberView);
    connect(session, &ChatSession::memberJoined, this,
            [this](int, const std::string& name) { log_->Append(JoinedLogLine(name)); });
    connect(session, &ChatSession::memberLeft, this,
            [this](int, const std::string& name) { log_->Append(LeftLogLine(name)); });
    connect(session, &ChatSession::messageReceived, this,
            [this](int, const std::string& name, const std::string& text) { log_->AppendChat(ChatLogLine(name, text)); });
    connect(session, &ChatSession::historyAnnounced, this, [this](int count) { log_->BeginHistory(count); });
    connect(session, &ChatSession::speakingChanged, this, [this](bool speaking) {
        speakButton_->setText(ToQString(speaking ? kSpeakActive : kSpeakStopped));
    });
    connect(session, &ChatSession::sessionClosed, this, [this] {
        holdToTalk_->Forget();
        memberView_->clear();
        log_->EndHistory();
        UpdateButtons();
    });
    // Every failure but a loss that the client tries to make good, after
    // the session is closed (the controls already show it).
    connect(reconnect_, &ReconnectDriver::tell, this, [this](const std::string& text) { ShowMessage(text); });
    connect(reconnect_, &ReconnectDriver::lost, this, &CChatClientDlg::ShowNotice);
    connect(reconnect_, &ReconnectDriver::logLine, this, [this](const std::string& line) { log_->Append(line); });
    connect(reconnect_, &ReconnectDriver::stateChanged, this, &CChatClientDlg::UpdateButtons);
}

void CChatClientDlg::Login() {
    if (session_.IsLoggedIn() || session_.IsConnecting() || reconnect_->IsReconnecting()) return;
    if (!ReadFields()) return;
    SaveRememberedFields(*OpenUserSettings(), RememberedFields{host_, name_, port_});
    reconnect_->Login(host_, port_, name_);
}

void CChatClientDlg::ShowSessionStarted() {
    memberView_->clear();
    postText_.clear();
    ShowFields();
    EnableControls(true);
    postEdit_->setFocus(Qt::OtherFocusReason);
}

void CChatClientDlg::RequestLogout() { reconnect_->Logout(); }

void CChatClientDlg::TimerTick() { session_.Tick(); }

void CChatClientDlg::PostText() {
    if (!session_.IsLoggedIn()) return;
    if (!ReadFields()) return;
    session_.Post(postText_);
    postText_.clear();
    ShowFields();
}
