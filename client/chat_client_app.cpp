#include "client/chat_client_app.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "client/chat_client_dlg.h"
#include "client/field_checks.h"
#include "client/icons.h"
#include "client/strings.h"
#include "platform/message_box.h"
#include "platform/sync.h"

namespace {

void ShowBox(const std::string& caption, const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok);
    box.exec();
}

void PresentMessage(const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    if (QThread::currentThread() == app->thread()) {
        ShowBox(caption, text);
        return;
    }
    // Widgets live on the dialog's thread: show the box there and wait for it,
    // but not for ever, should that thread be unable to show it.
    auto closed = std::make_shared<platform::Semaphore>(0, 1);
    QMetaObject::invokeMethod(
        app,
        [caption, text, closed] {
            ShowBox(caption, text);
            closed->Release();
        },
        Qt::QueuedConnection);
    closed->Wait(60000);
}

}  // namespace

void InstallMessagePresenter() { platform::SetMessagePresenter(&PresentMessage); }

std::optional<AutoLogin> ParseAutoLogin(const char* value) {
    if (!value) return std::nullopt;
    std::string text(value);
    size_t first = text.find(':');
    if (first == std::string::npos) return std::nullopt;
    size_t second = text.find(':', first + 1);
    if (second == std::string::npos) return std::nullopt;
    AutoLogin login;
    login.host = text.substr(0, first);
    if (!tessik::ParseInteger(std::string_view(text).substr(first + 1, second - first - 1), &login.port)) {
        return std::nullopt;
    }
    login.name = text.substr(second + 1);
    return login;
}

int CChatClientApp::Run(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(tessik::kProgramName.data()));
    platform::SetProgramName(std::string(tessik::kProgramName));
    InstallMessagePresenter();
    tessik::InitResources();

    CChatClientDlg dialog;
    std::optional<AutoLogin> autoLogin = ParseAutoLogin(std::getenv("TESSIK_AUTOLOGIN"));
    if (std::getenv("TESSIK_AUTOLOGIN") && !autoLogin) {
        std::fprintf(stderr, "Tessik: TESSIK_AUTOLOGIN must be host:port:name\n");
    }
    if (autoLogin) {
        QTimer::singleShot(0, &dialog, [&dialog, login = *autoLogin] {
            dialog.LoginAs(login.host, login.port, login.name);
        });
    }
    dialog.exec();
    // The dialog's end is the program's end.
    return 0;
}
