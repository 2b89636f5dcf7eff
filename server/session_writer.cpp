#include <vector>

#include "server/session.h"

std::uint32_t session_writer_thread(void* argument) {
    auto* p = static_cast<SessionWriterParameters*>(argument);
    std::vector<WireRef> taken;
    bool ending = false;
    bool connected = true;
    while (!ending) {
        taken.clear();
        // Someone else closed the session (or never opened it): nothing more
        // to send.
        std::size_t firstOffset = 0;
        if (!p->outbox->TakeAll(taken, &firstOffset)) break;
        // Nothing after a record that ends the connection goes out.
        std::size_t count = 0;
        while (count < taken.size() && !ending) ending = taken[count++]->EndsConnection();
        // Once a send has failed the client is gone (the reader notices its
        // end, and the session is closed through the logout); what follows
        // is only taken and dropped until the logout reply ends the session.
        if (connected) connected = p->sender->SendAll(taken, count, firstOffset);
    }
    taken.clear();
    if (ending) p->session->Close();
    return 0;
}
