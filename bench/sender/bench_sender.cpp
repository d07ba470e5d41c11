// Prints the time the sender takes for N URLs to a loopback keep-alive responder,
// against a plain curl_easy_perform loop on one handle, and their ratio.
//   ulxbench_sender [N=10000]
// Then the resident memory the sender adds with a full queue (4096 URLs) behind a
// collector that accepts and never answers.

#include "reportcore/knettransfer.h"

#include <QElapsedTimer>

#include <curl/curl.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <algorithm>
#include <atomic>
#include <vector>
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
    const auto plainLoop = [&] {
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
        return t.elapsed();
    };
    // The sender: producers never wait for the network, but the queue holds 4096, so
    // the URLs go in rounds that fit.
    const auto sender = [&] {
        g_answered = 0;
        QElapsedTimer t;
        t.start();
        NetTransferThread worker;
        worker.start("ulx-sender");
        const int round = 4000;
        for (int sent = 0; sent < n; sent += round) {
            for (int i = sent; i < std::min(n, sent + round); ++i)
                worker.enqueue(base + record + QByteArray::number(i));
            while (g_answered.load() < std::min(n, sent + round))
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const qint64 ms = t.elapsed();
        worker.stop(2000);
        return ms;
    };
    // Interleaved runs, medians: the machine's load changes under a benchmark.
    std::vector<qint64> plainRuns, senderRuns;
    for (int r = 0; r < 5; ++r) {
        plainRuns.push_back(plainLoop());
        senderRuns.push_back(sender());
    }
    std::sort(plainRuns.begin(), plainRuns.end());
    std::sort(senderRuns.begin(), senderRuns.end());
    const qint64 plainMs = plainRuns[2], senderMs = senderRuns[2];

    // A full queue behind a hung collector: the listener's backlog takes the connection, nobody answers.
    const int hung = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in hungAddr{};
    hungAddr.sin_family = AF_INET;
    hungAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(hung, reinterpret_cast<sockaddr *>(&hungAddr), sizeof hungAddr);
    ::listen(hung, 16);
    len = sizeof hungAddr;
    ::getsockname(hung, reinterpret_cast<sockaddr *>(&hungAddr), &len);
    const QByteArray hungBase = "http://127.0.0.1:" + QByteArray::number(ntohs(hungAddr.sin_port)) + "/ulxv6internet/infos.ads?v=D1S1E1&d=";
    const auto rssKb = [] {
        FILE *f = std::fopen("/proc/self/statm", "r");
        long pages = 0, resident = 0;
        if (f) {
            if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
                resident = 0;
            std::fclose(f);
        }
        return resident * (::sysconf(_SC_PAGESIZE) / 1024);
    };
    const long before = rssKb();
    const size_t heapBefore = mallinfo2().uordblks;
    NetTransferThread stuck;
    stuck.start("ulx-sender");
    int queued = 0;
    for (int i = 0; i < NetTransferThread::QueueBound + 1; ++i)
        queued += stuck.enqueue(hungBase + record + QByteArray::number(i)) ? 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long after = rssKb();
    const size_t heapAfter = mallinfo2().uordblks;
    std::printf("hung collector: %d URLs queued of %d bytes each, RSS +%ld KiB, heap in use +%zu KiB\n", queued,
                int((hungBase + record).size() + 5), after - before, (heapAfter - heapBefore) / 1024);
    stuck.takeUnsent();
    stuck.stop(3000);

    std::printf("urls %d (medians of 5)\nplain curl loop   %lld ms (%.0f/s)\nsender            %lld ms (%.0f/s)\nthroughput ratio  %.3f\n", n,
                (long long)plainMs, n * 1000.0 / plainMs, (long long)senderMs, n * 1000.0 / senderMs,
                double(plainMs) / double(senderMs));
    return 0;
}
