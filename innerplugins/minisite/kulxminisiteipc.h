#pragma once

#include "ipc/ikcloudsvrhost.h"

#include <QObject>
#include <QString>

// A message buffer on the heap, of any size (the transport refuses what exceeds
// its own limit).
class _KMiniSimpleMemBuffer final : public IKMemBuffer
{
public:
    _KMiniSimpleMemBuffer() = default;
    // The text's UTF-16 code units and a NUL; an empty text holds nothing.
    explicit _KMiniSimpleMemBuffer(const QString &text);
    ~_KMiniSimpleMemBuffer();
    _KMiniSimpleMemBuffer(const _KMiniSimpleMemBuffer &) = delete;
    _KMiniSimpleMemBuffer &operator=(const _KMiniSimpleMemBuffer &) = delete;

    BOOL STDMETHODCALLTYPE setSize(std::uint32_t bytes) override;
    std::uint32_t STDMETHODCALLTYPE size() override { return m_size; }
    void *STDMETHODCALLTYPE data() override { return m_data; }

private:
    void *m_data = nullptr;
    std::uint32_t m_size = 0;
};

// Sends requests to the minisite program over the host's channel.
class KUlxMinisiteIpc : public QObject
{
    Q_OBJECT
public:
    explicit KUlxMinisiteIpc(QObject *parent = nullptr);

    // Delivers `request` to the channel `target` as "_TRANSMISSION_" (time-out
    // 2000 ms). The host's transport is looked up again for every send: the host
    // program creates it in main(), after this object was built during the
    // library's static initialisation. False when there is no host transport or
    // the message was not delivered.
    bool sendMessage(const QString &target, const QString &request, const QString &reply);

private:
    IKCloudSvrHost *m_host = nullptr;
};
