// Qt SerialBus, a client nobody here wrote, reads and writes the simulated
// reader through its pty with QModbusRtuSerialClient.
#include <QCoreApplication>
#include <QModbusDataUnit>
#include <QModbusReply>
#include <QModbusRtuSerialClient>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "pty_port.h"
#include "qvregisters.h"
#include "readersim.h"

class QtSerialBusPeer : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<testsupport::PortsDir> dir_;
    std::unique_ptr<readersim::Reader> reader_;
    std::unique_ptr<readersim::Server> server_;
    std::unique_ptr<QModbusRtuSerialClient> client_;

    // Waits for a reply; returns it finished (or null after the wait).
    static bool Wait(QModbusReply *reply) {
        if (!reply) return false;
        if (!reply->isFinished()) {
            QSignalSpy spy(reply, &QModbusReply::finished);
            if (!spy.wait(3000)) return false;
        }
        return true;
    }

private slots:
    void init() {
        dir_ = std::make_unique<testsupport::PortsDir>();
        reader_ = std::make_unique<readersim::Reader>();
        server_ = std::make_unique<readersim::Server>(*reader_);
        std::string slave = server_->ServePty(dir_->path(), 6);
        QVERIFY(!slave.empty());
        client_ = std::make_unique<QModbusRtuSerialClient>();
        client_->setConnectionParameter(QModbusDevice::SerialPortNameParameter, QString::fromStdString(slave));
        client_->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, QSerialPort::Baud19200);
        client_->setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
        client_->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
        client_->setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
        client_->setTimeout(1000);
        client_->setNumberOfRetries(0);
        QVERIFY2(client_->connectDevice(), qPrintable(client_->errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(client_->state(), QModbusDevice::ConnectedState, 3000);
    }
    void cleanup() {
        if (client_) client_->disconnectDevice();
        client_.reset();
        server_.reset();
        reader_.reset();
        dir_.reset();
    }

    void readsTheCardNumber() {
        std::unique_ptr<QModbusReply> reply(client_->sendReadRequest(
            QModbusDataUnit(QModbusDataUnit::HoldingRegisters, qvreg::kCardNumber, qvreg::kCardNumberCount), 1));
        QVERIFY(Wait(reply.get()));
        QCOMPARE(reply->error(), QModbusDevice::NoError);
        const QModbusDataUnit u = reply->result();
        QCOMPARE(u.valueCount(), qsizetype(4));
        QCOMPARE(u.value(0), quint16(0x0000));
        QCOMPARE(u.value(1), quint16(0x0000));
        QCOMPARE(u.value(2), quint16(0x0012));
        QCOMPARE(u.value(3), quint16(0x3456));
    }

    void writesARegisterAndReadsItBack() {
        QModbusDataUnit w(QModbusDataUnit::HoldingRegisters, qvreg::kLedBeep, QList<quint16>{0x0611});
        std::unique_ptr<QModbusReply> wr(client_->sendWriteRequest(w, 1));
        QVERIFY(Wait(wr.get()));
        QCOMPARE(wr->error(), QModbusDevice::NoError);
        QCOMPARE(server_->WithReader([](readersim::Reader &r) { return r.Register(qvreg::kLedBeep); }),
                 std::uint16_t(0x0611));
        std::unique_ptr<QModbusReply> rd(
            client_->sendReadRequest(QModbusDataUnit(QModbusDataUnit::HoldingRegisters, qvreg::kLedBeep, 1), 1));
        QVERIFY(Wait(rd.get()));
        QCOMPARE(rd->error(), QModbusDevice::NoError);
        QCOMPARE(rd->result().value(0), quint16(0x0611));
    }

    void exceptionReplyIsAProtocolError() {
        std::unique_ptr<QModbusReply> reply(
            client_->sendReadRequest(QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 11, 1), 1));
        QVERIFY(Wait(reply.get()));
        QCOMPARE(reply->error(), QModbusDevice::ProtocolError);
        // The exception code, read from the data: Qt's own accessors load the
        // function code 0x83 as an enum value it does not hold.
        QCOMPARE(reply->rawResult().data(), QByteArray(1, char(QModbusPdu::IllegalDataAddress)));
    }
};

QTEST_GUILESS_MAIN(QtSerialBusPeer)
#include "peer_qt_serialbus_test.moc"
