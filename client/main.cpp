#include "client/chat_client_app.h"

int main(int argc, char** argv) {
    CChatClientApp app;
    return app.Run(argc, argv);
}
