// SPDX-License-Identifier: MIT
#pragma once

#include "comports.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>

#ifdef Q_OS_WIN
// The port of each platform, with the same members (serialport.h).
class WinSerialPort;
using SerialPort = WinSerialPort;
#else
class LinuxSerialPort;
using SerialPort = LinuxSerialPort;
#endif

// A refusal of the serial control: its number and a description that names the device
// and the reason the system gave.
struct CommError
{
    int number = 0;
    QString description;
};

// The serial communications control: the only code that touches the serial port.
// Property writes that the control refuses throw CommError.
class MSComm : public QObject
{
    Q_OBJECT

public:
    enum Error {
        InvalidPortNumber = 8002,
        PortAlreadyOpen = 8005,
        PortNotOpen = 8012,
        PortUnavailable = 8010,
        AccessDenied = 8011,
        InvalidSettings = 380,
        SettingsRefused = 8015,
        WriteFailed = 8016,
        DeviceLost = 8020,
    };
    enum Event {
        comEvSend = 1,
        comEvReceive = 2,
        // The control closed the port by itself: the device went away.
        comEventDeviceLost = 1012,
        // An answer that has gone quiet came with errors on the line.
        comEventLineErrors = 1013,
    };
    // How long without a byte before an answer counts as over.
    static constexpr int QuietMs = 1000;

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    // 0: a read returns every character waiting.
    void setInputLen(qint16 value);
    qint16 inputLen() const { return m_inputLen; }
    // 1: a notification whenever received characters wait; 0: none.
    void setRThreshold(qint16 value);
    qint16 rThreshold() const { return m_rThreshold; }
    // 1: a notification when the transmit buffer has emptied; 0: none.
    void setSThreshold(qint16 value);
    qint16 sThreshold() const { return m_sThreshold; }

    // 1 to 4; refused while the port is open.
    void setCommPort(qint16 port);
    qint16 commPort() const { return m_commPort; }
    // "9600,E,8,1", with or without a leading space before the speed.
    void setSettings(const QString &settings);
    QString settings() const { return m_settings; }

    void setPortOpen(bool open);
    bool portOpen() const;

    // The characters are sent as the bytes of the same codes.
    void setOutput(const QString &text);

    qint16 commEvent() const { return m_commEvent; }
    // After comEventDeviceLost: which port was lost, why, and what the operator can do.
    QString lostReport() const;
    // After comEventLineErrors: which errors the adapter reported, and what to do.
    QString lineErrorReport() const;
    // Every character waiting (or at most InputLen), one per received byte.
    QString input();

    // The device that a port number names: the device named by SALVEX_COMn, else the port
    // the system's numbering gives it at this moment (windowsComPort() on Windows, else
    // comPort()), empty when there is none.
    static QString deviceName(int port);
    // Shown beside an entry of the port list: the device and its description, or "sin
    // puerto".
    static QString portTip(int port);
    static QStringList portTips(const QList<int> &ports);
    // The serial ports of this machine, as the system reports them at this moment.
    static QList<PresentPort> portsPresent();
    // Stands another list in for the system's, as a test does on a machine without USB
    // adapters; nullptr gives the system's back.
    static void setPortsPresentSource(QList<PresentPort> (*source)());

Q_SIGNALS:
    void OnComm();

private:
    struct LineSettings
    {
        qint32 baud = 9600;
        char parity = 'N';
        int dataBits = 8;
        int stopBits = 1;
    };
    static bool parseSettings(const QString &text, LineSettings *out);
    void applySettings(const LineSettings &line, const QString &text);
    void onReadyRead();
    void pull();
    void forgetReception();
    void startLineCount();
    void answerQuiet();
    void onBytesWritten();
    void onError(int error);
    QString portLabel() const;

    std::unique_ptr<SerialPort> m_port;
    // Received bytes not yet read, as they came off the line.
    QByteArray m_in;
    QTimer m_quiet;
    QElapsedTimer m_lastByte;
    QString m_lineReport;
    qint16 m_inputLen = 0;
    qint16 m_rThreshold = 0;
    qint16 m_sThreshold = 0;
    qint16 m_commPort = 1;
    // The device of the latest opening: the one named in later refusals.
    QString m_device;
    QString m_settings = QStringLiteral("9600,N,8,1");
    LineSettings m_line;
    qint16 m_commEvent = 0;
    // Why the port closed by itself, told at the next refusal: the system's words, and
    // the sentence they go in.
    QString m_lostCause;
    QString m_lostReason;
};
