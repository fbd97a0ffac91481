// SPDX-License-Identifier: MIT
#pragma once

#include "lineerrors.h"
#include "linemarks.h"

#include <QObject>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QString>

#include <optional>

// What the port asks of the driver beyond Qt, so that a test can play a driver this machine
// lacks. The system's own calls are the default.
struct LineDriverCalls
{
    // The bytes waiting, as the line discipline delivers them.
    QByteArray (*read)(QSerialPort &port);
    // The driver's counts and control lines, or nothing where it tells neither.
    std::optional<DriverCounts> (*counts)(int fd);
    // How the driver of a device hands its line errors over.
    LineReader::Driver (*driver)(const QString &device);
};

// A serial port on Linux: Qt SerialPort, with the driver asked to mark the bytes the line
// damaged, and a device that went away told as such rather than by whatever the system
// last said. The same members as the Windows port, so the control reads the same on both.
class LinuxSerialPort : public QObject
{
    Q_OBJECT

public:
    using SerialPortError = QSerialPort::SerialPortError;
    using DataBits = QSerialPort::DataBits;
    using Parity = QSerialPort::Parity;
    using StopBits = QSerialPort::StopBits;
    using FlowControl = QSerialPort::FlowControl;
#ifndef Q_MOC_RUN
    using enum QSerialPort::SerialPortError;
    using enum QSerialPort::DataBits;
    using enum QSerialPort::Parity;
    using enum QSerialPort::StopBits;
    using enum QSerialPort::FlowControl;
#endif

    // The system's own calls, and the calls every port uses from now on (nullptr for the
    // system's own).
    static const LineDriverCalls &systemCalls();
    static void setCalls(const LineDriverCalls *calls);

    explicit LinuxSerialPort(QObject *parent = nullptr);
    ~LinuxSerialPort() override;

    void setPortName(const QString &name);

    // Taken at once when the port is open, else kept for the opening.
    bool setBaudRate(qint32 baud);
    bool setDataBits(DataBits bits);
    bool setParity(Parity parity);
    bool setStopBits(StopBits bits);
    bool setFlowControl(FlowControl flow);

    bool open(QIODevice::OpenMode mode);
    void close();
    bool isOpen() const
    {
        return m_port.isOpen();
    }

    // The bytes as they came off the line, the driver's marks taken out.
    QByteArray readAll();
    qint64 write(const QByteArray &data);
    qint64 bytesToWrite() const
    {
        return m_port.bytesToWrite();
    }

    // The errors the driver marked or counted since the last call. Bytes held back until the
    // answer was over are read next.
    LineErrors takeLineErrors();

    SerialPortError error() const;
    QString errorString() const;
    void clearError();
    // After a refused opening, what the operator can do about it, when the system tells
    // more than the error: the group that gives access to the device.
    QString refusalHint() const
    {
        return m_hint;
    }

Q_SIGNALS:
    void readyRead();
    void bytesWritten(qint64 bytes);
    void errorOccurred(LinuxSerialPort::SerialPortError error);

private:
    bool marked(bool taken);
    bool stickParity() const;
    void onError(SerialPortError error);
    void onHangUp();
    bool deviceGone() const;
    std::optional<DriverCounts> driverCounts() const;
    void releaseHeld();

    QSerialPort m_port;
    // Watches the open descriptor for a hang-up only: poll tells it with POLLHUP or POLLERR,
    // which a notifier of this type is woken by, and a terminal raises nothing else for it.
    QSocketNotifier m_hangUp { QSocketNotifier::Exception };
    // The device's full path, whatever the control named it: Qt keeps only the part after
    // /dev/.
    QString m_name;
    LineReader m_reader;
    LineReader::Driver m_driver;
    // Bytes the reader held back, given back for the next read.
    QByteArray m_released;
    // Set where the system's own words would mislead: a denied access, a device gone.
    SerialPortError m_error = NoError;
    QString m_errorString;
    QString m_hint;
};
