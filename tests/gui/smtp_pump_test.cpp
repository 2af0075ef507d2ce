// While a mail waits on a slow server, the Qt event loop keeps running: a real QTimer keeps
// firing, so windows repaint, the tray answers and the clipboard is still watched.

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include "mime/message.h"
#include "net/smtp.h"
#include "qt/qt_desktop.h"
#include "support/peers.h"
#include "support/test_support.h"

using namespace ostrel;

class SmtpPumpTest : public QObject {
    Q_OBJECT
private slots:
    void aTimerKeepsFiringDuringASlowSend() {
        test::ProgramFolder folder;
        // This server answers DATA two seconds late.
        test::TSmtpSinkPeer sink({"-w", "2"});
        QtDesktop desktop;
        TmsMessage message;
        message.Sender.Address = "me@example.org";
        message.Recipients.Add("www4mail@example.org", "");
        message.Subject = "www";
        message.Body = {"send http://example.com/"};
        TmsSMTP smtp(desktop);
        smtp.Server = sink.Server();
        smtp.TimeOut = 20;
        smtp.MailMessage = &message;

        QElapsedTimer clock;
        qint64 last = 0, longestGap = 0;
        int ticks = 0;
        QTimer timer;
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            longestGap = std::max(longestGap, now - last);
            last = now;
            ++ticks;
        });
        clock.start();
        timer.start();
        smtp.Send();
        timer.stop();
        const qint64 total = clock.elapsed();
        longestGap = std::max(longestGap, total - last);
        QVERIFY2(total >= 2000, "the server's delays did not happen");
        QVERIFY2(longestGap < 50, qPrintable(QString("timer starved for %1 ms").arg(longestGap)));
        QVERIFY(ticks > total / 50);
    }
};

QTEST_MAIN(SmtpPumpTest)
#include "smtp_pump_test.moc"
