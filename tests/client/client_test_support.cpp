#include "client_test_support.h"

#include <QElapsedTimer>
#include <QImage>
#include <QListWidget>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <stdexcept>

#include "client/dialog_layout.h"
#include "client/icons.h"
#include "platform/message_box.h"
#include "platform/net.h"
#include "support/loopback.h"

namespace clienttest {

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > timeoutMs) return cond();
        QTest::qWait(5);
    }
    return true;
}

void Pump(int milliseconds) { QTest::qWait(milliseconds); }

FakeServer::FakeServer() { listener_ = testsupport::ListenOnFreePort(&port_); }

FakeServer::~FakeServer() { CloseConnection(); }

void FakeServer::Accept() {
    CloseConnection();
    connection_ = listener_->Accept(nullptr);
    if (!connection_) throw std::runtime_error("accept failed");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.clear();
    }
    peerClosed_.store(false);
    reader_ = std::thread([this] { ReadLoop(); });
}

void FakeServer::ReadLoop() {
    char buffer[4096];
    for (;;) {
        int n = platform::SocketRecv(connection_->Handle(), buffer, sizeof buffer);
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buffer, static_cast<size_t>(n));
    }
    peerClosed_.store(true);
}

void FakeServer::Send(std::string_view bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = connection_->Send(bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (n <= 0) throw std::runtime_error("send failed");
        sent += static_cast<size_t>(n);
    }
}

void FakeServer::CloseConnection() {
    if (!connection_) return;
    connection_->Close();
    if (reader_.joinable()) reader_.join();
    connection_.reset();
}

std::string FakeServer::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool FakeServer::WaitForReceived(std::string_view needle, int timeoutMs) const {
    return WaitUntil([&] { return Received().find(needle) != std::string::npos; }, timeoutMs);
}

QStringList MemberViewWithIcons(const CChatClientDlg& dialog) {
    auto picture = [](const QIcon& icon) { return icon.pixmap(QSize(12, 12)).toImage(); };
    const QImage member = picture(tessik::LoadIcon(tessik::IDI_MEMBER));
    const QImage speaker = picture(tessik::LoadIcon(tessik::IDI_SPEAKER));
    auto* view = qobject_cast<QListWidget*>(dialog.Control(tessik::IDC_MEMBERS));
    QStringList shown;
    for (int i = 0; i < view->count(); ++i) {
        QImage image = picture(view->item(i)->icon());
        QString mark = image == member ? QStringLiteral("130") : image == speaker ? QStringLiteral("131") : QStringLiteral("?");
        shown << view->item(i)->text() + QLatin1Char(':') + mark;
    }
    return shown;
}

SilentHost::SilentHost() {
    listener_.Create(platform::kAfInet, platform::kSockStream, 0);
    if (listener_.Bind(testsupport::LoopbackAddress(0)) != 0 || listener_.Listen(0) != 0) {
        throw std::runtime_error("no listener");
    }
    platform::SockAddrIn address{};
    listener_.GetSockName(&address);
    port_ = platform::NetToHostShort(address.port);
    // The one connection a backlog of 0 holds; it is never accepted.
    filler_.Create(platform::kAfInet, platform::kSockStream, 0);
    if (filler_.Connect(testsupport::LoopbackAddress(port_)) != 0) throw std::runtime_error("no filler");
}

RecordingDialog::RecordingDialog() {
    dialog.SetMessageHook([this](const std::string& text) {
        messages.push_back(text);
        if (whileBoxOpen) whileBoxOpen(text);
    });
}

void RecordingDialog::LoginTo(std::uint16_t port, const std::string& name) {
    using namespace tessik;
    // A dialog trying to come back after a lost connection takes no login:
    // the user stops the tries with logout first.
    if (dialog.IsReconnecting()) static_cast<QPushButton*>(dialog.Control(IDC_LOGOUT))->click();
    static_cast<QLineEdit*>(dialog.Control(IDC_HOST))->setText(QStringLiteral("127.0.0.1"));
    static_cast<QLineEdit*>(dialog.Control(IDC_PORT))->setText(QString::number(port));
    static_cast<QLineEdit*>(dialog.Control(IDC_NAME))->setText(QString::fromStdString(name));
    static_cast<QPushButton*>(dialog.Control(IDC_LOGIN))->click();
    // The attempt goes on while the dialog runs; wait until it has ended
    // (logged in, or the failure told).
    WaitUntil([this] { return !dialog.IsConnecting(); });
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value, bool keepDefined)
    : name_(name), keepDefined_(keepDefined) {
    if (qEnvironmentVariableIsSet(name)) previous_ = qgetenv(name).toStdString();
    if (value) {
        qputenv(name, QByteArray::fromStdString(*value));
    } else {
        qunsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (previous_) {
        qputenv(name_.c_str(), QByteArray::fromStdString(*previous_));
    } else if (!keepDefined_) {
        qunsetenv(name_.c_str());
    }
}

DiskSound::DiskSound(const std::string& input, const std::string& output, int delayMs)
    : driver_("SDL_AUDIODRIVER", "disk", true),
      input_("SDL_DISKAUDIOFILEIN", input, true),
      output_("SDL_DISKAUDIOFILE", output, true),
      delay_("SDL_DISKAUDIODELAY",
             delayMs < 0 ? std::nullopt : std::optional<std::string>(std::to_string(delayMs))) {}

namespace {

std::mutex sharedMessagesMutex;
std::vector<std::string> sharedMessages;

void CollectSharedMessage(const std::string&, const std::string& text) {
    std::lock_guard<std::mutex> lock(sharedMessagesMutex);
    sharedMessages.push_back(text);
}

}  // namespace

SharedMessages::SharedMessages() {
    {
        std::lock_guard<std::mutex> lock(sharedMessagesMutex);
        sharedMessages.clear();
    }
    platform::SetMessagePresenter(&CollectSharedMessage);
}

SharedMessages::~SharedMessages() { platform::SetMessagePresenter(nullptr); }

std::vector<std::string> SharedMessages::Texts() const {
    std::lock_guard<std::mutex> lock(sharedMessagesMutex);
    return sharedMessages;
}

}  // namespace clienttest
