// Prints the time the sender takes for N URLs to a loopback keep-alive responder,
// against a plain curl_easy_perform loop on one handle, and their ratio.
//   ulxbench_sender [N=10000]

#include "report/knettransfer.h"

#include <QElapsedTimer>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<long> g_answered{0};

// One connection at a time, answering every request on it (keep-alive).
void serve(int listener)
{
    static const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok";
    for (;;) {
        const int c = ::accept(listener, nullptr, nullptr);
        if (c < 0)
            return;
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string buffer;
        char chunk[8192];
        for (;;) {
            const ssize_t n = ::read(c, chunk, sizeof chunk);
            if (n <= 0)
                break;
            buffer.append(chunk, size_t(n));
            size_t end;
            while ((end = buffer.find("\r\n\r\n")) != std::string::npos) {
                buffer.erase(0, end + 4);
                [[maybe_unused]] ssize_t w = ::write(c, reply, sizeof reply - 1);
                ++g_answered;
            }
        }
        ::close(c);
    }
}

size_t discard(char *, size_t s, size_t n, void *) { return s * n; }

} // namespace

int main(int argc, char **argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(listener, 16);
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    std::thread(serve, listener).detach();
    const QByteArray base = "http://127.0.0.1:" + QByteArray::number(ntohs(addr.sin_port)) + "/ulxv6internet/infos.ads?v=D1S1E1&d=";
    const QByteArray record = QByteArray(180, 'A'); // the size of a typical event record

    curl_global_init(CURL_GLOBAL_DEFAULT);
    // The reference: one handle, the same per-handle options as the sender.
    QElapsedTimer t;
    t.start();
    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    for (int i = 0; i < n; ++i) {
        const QByteArray url = base + record + QByteArray::number(i);
        curl_easy_setopt(curl, CURLOPT_URL, url.constData());
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
        curl_easy_perform(curl);
    }
    curl_easy_cleanup(curl);
    const qint64 plainMs = t.elapsed();

    // The sender: producers never wait for the network, but the queue holds 4096, so
    // the URLs go in rounds that fit.
    g_answered = 0;
    t.restart();
    NetTransferThread worker;
    worker.start("ulx-sender");
    const int round = 4000;
    for (int sent = 0; sent < n; sent += round) {
        for (int i = sent; i < std::min(n, sent + round); ++i)
            worker.enqueue(base + record + QByteArray::number(i));
        while (g_answered.load() < std::min(n, sent + round))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const qint64 senderMs = t.elapsed();
    worker.stop(2000);

    std::printf("urls %d\nplain curl loop   %lld ms (%.0f/s)\nsender            %lld ms (%.0f/s)\nthroughput ratio  %.3f\n", n,
                (long long)plainMs, n * 1000.0 / plainMs, (long long)senderMs, n * 1000.0 / senderMs,
                double(plainMs) / double(senderMs));
    return 0;
}
