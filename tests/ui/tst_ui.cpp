// The window and the dialogs on the offscreen platform, and the whole server
// with its window on a virtual X display.

#include "config/CorvidConfigData.h"
#include "tests/common/diagnostic_capture.h"
#include "tests/common/server_run.h"
#include "ui/CorvidAdapterChooser.h"
#include "ui/CorvidConfigDialog.h"
#include "ui/CorvidServerWidget.h"
#include "ui/GuiPrompt.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTcpSocket>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <functional>

namespace {

// Every diagnostic as "<type> <text>", joined by `sep`.
QString seen(const DiagnosticCapture &d, QChar sep)
{
    QStringList out;
    for (const auto &e : d.entries())
        out << QString::number(int(e.type)) + ' ' + e.text;
    return out.join(sep);
}

// Runs `answer` on the modal widget that the next call opens.
void whenModal(std::function<void(QWidget *)> answer)
{
    QTimer::singleShot(0, [answer]() {
        QWidget *w = nullptr;
        if (QTest::qWaitFor([&w]() { return (w = QApplication::activeModalWidget()) != nullptr; }, 5000))
            answer(w);
    });
}

QString text(QWidget *root, const QString &name)
{
    QObject *o = root->findChild<QObject *>(name);
    if (auto *l = qobject_cast<QLabel *>(o))
        return l->text();
    if (auto *b = qobject_cast<QAbstractButton *>(o))
        return b->text();
    return o ? qobject_cast<QGroupBox *>(o)->title() : QStringLiteral("<missing %1>").arg(name);
}

QDateTime utcText(const QString &text)
{
    QDateTime t = QDateTime::fromString(text, Qt::TextDate);
    t.setTimeSpec(Qt::UTC);
    return t;
}

}  // namespace

class TestUi : public QObject {
    Q_OBJECT

private slots:
    void windowAfterConstruction();
    void hardwareState_data();
    void hardwareState();
    void clientsAddedAndRemoved();
    void clientAddressShown_data();
    void clientAddressShown();
    void countersAndTextCoalesced();
    void adapterChooser_data();
    void adapterChooser();
    void parametersDialog();
    void promptBoxes();
    void serverWithWindowOnDisplay();
};

void TestUi::windowAfterConstruction()
{
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    CorvidServerWidget w;
    const QStringList texts = {
        "label=<H1>Corvid Server</H1>", "groupBox=Server Info", "label_11=Started at:", "label_10=HW status:",
        "pushButton_connect=Connect", "pushButton_about=About...", "pushButton_config=Config...", "groupBox_2=Rx",
        "label_2=Received messages:", "label_5=Received (bytes):", "label_6=Read buffer (bytes):",
        "label_7=CAN frames:", "groupBox_3=Tx", "label_9=Transmitted messages:", "label_8=Transmitted (bytes):",
        "label_Rx_Corvid=0", "label_Rx_bytes=0", "label_Rx_buffer=0", "label_Rx_CAN=0", "label_Tx_Corvid=0",
        "label_Tx_bytes=0"};
    for (const QString &t : texts)
        QCOMPARE(t.section('=', 0, 0) + '=' + text(&w, t.section('=', 0, 0)), t);
    QCOMPARE(w.windowTitle(), QStringLiteral("Corvid dedicated server v.143"));
    QVERIFY(!w.windowIcon().isNull());
    const QDateTime started = utcText(text(&w, "label_started_at"));
    QVERIFY2(started >= before && started <= QDateTime::currentDateTimeUtc(), qPrintable(text(&w, "label_started_at")));

    auto *table = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    QStringList columns;  // header, width (the last column takes the rest, at least 10), hidden
    for (int c = 0; c < table->columnCount(); ++c) {
        const int width = c == 3 ? 0 : c == 5 ? qMin(table->columnWidth(c), 10) : table->columnWidth(c);
        columns << QStringLiteral("%1 %2%3").arg(table->horizontalHeaderItem(c)->text()).arg(width).arg(
                       table->isColumnHidden(c) ? " hidden" : "");
    }
    QCOMPARE(columns.join(", "), QStringLiteral("Name 80, Address 170, Status 70, Description 0 hidden, Connected 230, ID 10"));
    QVERIFY(w.getTextEdit()->isReadOnly() && !w.getTextEdit()->isUndoRedoEnabled());

    int reconnects = 0;
    w.onReconnectRequested([&reconnects] { ++reconnects; });
    QSignalSpy released(&w, &CorvidServerWidget::reconnect_from_button);
    QTest::mouseClick(w.findChild<QPushButton *>(QStringLiteral("pushButton_connect")), Qt::LeftButton);
    QVERIFY(released.size() == 1 && reconnects == 1);

    w.show();
    QTest::mouseClick(w.findChild<QPushButton *>(QStringLiteral("pushButton_about")), Qt::LeftButton);
    QPointer<QDialog> about = w.findChild<QDialog *>();
    QVERIFY(about && about->isVisible() && about->isModal());  // shown without blocking
    QCOMPARE(about->windowTitle(), QStringLiteral("About Control Center"));
    const QString label = about->findChild<QLabel *>()->text();
    QVERIFY(label.startsWith(QStringLiteral("Control center application\n\nversion: 143\n\nchange log: ")));
    const auto buttons = about->findChildren<QPushButton *>();  // About Qt..., Ok
    QCOMPARE(buttons.size(), 2);
    QTest::mouseClick(buttons[1], Qt::LeftButton);
    QTRY_VERIFY(about.isNull());
}

void TestUi::hardwareState_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("diagnostic");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("status");
    // Each starts from Ready; an unknown value leaves it so.
    const QString critical = QString::number(QtCriticalMsg) + ' ';
    QTest::newRow("not init") << 1 << critical + "Hardware not init" << "Connect" << "Not init";
    QTest::newRow("ready") << 2 << QString::number(QtInfoMsg) + " Hardware ready" << "Disconnect" << "Ready";
    QTest::newRow("error") << 0 << critical + "Hardware error occured" << "Disconnect" << "Error!";
    QTest::newRow("7") << 7 << critical + "Hardware in unknown state! (7)" << "Disconnect" << "Ready";
}

void TestUi::hardwareState()
{
    QFETCH(int, state);
    CorvidServerWidget w;
    w.hardwareStatusHandler(AbstractConnector::HW_READY);
    DiagnosticCapture diag;
    w.hardwareStatusHandler(AbstractConnector::HWState(state));
    QTEST(seen(diag, '\n'), "diagnostic");
    QTEST(text(&w, "pushButton_connect"), "button");
    QTEST(text(&w, "label_HW_status"), "status");
}

void TestUi::clientsAddedAndRemoved()
{
    DiagnosticCapture diag;
    CorvidServerWidget w;
    auto *table = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    crd_client_info_t first{4, "Corvid control app (ver: 100)", "watcher", nullptr, 1, 1, {}, 100, {}};
    crd_client_info_t second{5, first.description, "manager", nullptr, 1, 0, {}, 100, {}};
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    w.slotAddClient(first);
    w.slotAddClient(second);

    QCOMPARE(table->rowCount(), 2);
    QStringList top;  // the connection time aside
    for (int c : {0, 1, 2, 3, 5})
        top << table->item(0, c)->text();
    QCOMPARE(top, QStringList({first.description, "", "Manager", "manager", "5"}));
    const QDateTime connected = utcText(table->item(0, 4)->text());
    QVERIFY2(connected >= before && connected <= QDateTime::currentDateTimeUtc(), qPrintable(table->item(0, 4)->text()));
    QCOMPARE(table->item(1, 2)->text(), QStringLiteral("Observer"));
    QVERIFY(table->columnWidth(0) >= table->fontMetrics().horizontalAdvance(first.description));  // not cut off

    w.slotDisconnected(99);
    QCOMPARE(table->rowCount(), 2);
    w.slotDisconnected(4);
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 5)->text(), QStringLiteral("5"));
    const QString info = QString::number(QtInfoMsg) + " TCP client #";
    QCOMPARE(seen(diag, '|'), info + "4 approved.|" + info + "5 approved.|" + info + "99 disconnected.|" + info
                                          + "4 disconnected.");
}

void TestUi::clientAddressShown_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("connectTo");
    QTest::addColumn<QString>("certificate");
    QTest::newRow("IPv4-mapped") << "any" << "127.0.0.1" << "";
    QTest::newRow("IPv6, TLS") << "::1" << "::1" << "alice";  // whole, not only what follows the last colon
}

void TestUi::clientAddressShown()
{
    QFETCH(QString, listen);
    QFETCH(QString, connectTo);
    QTcpServer server;
    if (!server.listen(listen == QLatin1String("any") ? QHostAddress(QHostAddress::Any) : QHostAddress(listen)))
        QSKIP(qPrintable(QStringLiteral("cannot listen on %1 here: %2").arg(listen, server.errorString())));
    QTcpSocket peer;
    peer.connectToHost(QHostAddress(connectTo), server.serverPort());
    QVERIFY(server.waitForNewConnection(5000) && peer.waitForConnected(5000));
    QFETCH(QString, certificate);
    CorvidServerWidget w;
    w.slotAddClient({1, "", "", server.nextPendingConnection(), 1, 0, {}, 100, certificate});
    // The client's end, not the server's.
    QCOMPARE(w.findChild<QTableWidget *>()->item(0, 1)->text(),
             QString(connectTo + " : " + QString::number(peer.localPort()) + (certificate.isEmpty() ? "" : " (alice)")));
}

void TestUi::countersAndTextCoalesced()
{
    CorvidServerWidget w;
    w.setRefreshInterval(50);
    const int lines = 2 * CorvidServerWidget::MAX_TEXT_LINES + 2500;
    for (int i = 1; i <= 100000; ++i) {
        w.setRxCorvidCount(i);
        w.setTxCorvidCount(2 * i);
        w.setRxBytesCount(3 * i);
        w.setRxCurrentBytesCount(i % 7);
        w.setTxBytesCount(5 * i);
        w.setRxCANCount(6 * i);
    }
    for (int i = 1; i <= lines; ++i)
        w.appendText(QStringLiteral("line %1").arg(i));
    w.appendText(QStringLiteral("<b>kept as typed</b>"));

    // Nothing is drawn while the burst runs; the refresh shows the last values.
    QVERIFY(text(&w, "label_Rx_Corvid") == QLatin1String("0") && w.getTextEdit()->document()->isEmpty());
    QTRY_COMPARE(text(&w, "label_Rx_Corvid"), QStringLiteral("100000"));
    const QStringList shown = {text(&w, "label_Tx_Corvid"), text(&w, "label_Rx_bytes"), text(&w, "label_Rx_buffer"),
                               text(&w, "label_Tx_bytes"), text(&w, "label_Rx_CAN")};
    QCOMPARE(shown, QStringList({"200000", "300000", QString::number(100000 % 7), "500000", "600000"}));

    QTextDocument *doc = w.getTextEdit()->document();
    QTRY_COMPARE(doc->lastBlock().text(), QStringLiteral("<b>kept as typed</b>"));
    QCOMPARE(doc->blockCount(), CorvidServerWidget::MAX_TEXT_LINES);
    QCOMPARE(doc->firstBlock().text(), QStringLiteral("line %1").arg(lines + 2 - CorvidServerWidget::MAX_TEXT_LINES));

    // Lines handed over at once (the diagnostics kept before the window) become one block each.
    w.appendText(QStringLiteral("kept a\nkept b"));
    w.flushPending();
    QCOMPARE(doc->lastBlock().previous().text() + '|' + doc->lastBlock().text(), QStringLiteral("kept a|kept b"));
}

void TestUi::adapterChooser_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("pick");  // -1: the operator changes nothing
    QTest::addColumn<bool>("closeWindow");
    QTest::addColumn<int>("expected");
    QTest::newRow("empty") << QStringList() << -1 << false << -1;
    QTest::newRow("third, Ok") << QStringList{"a", "b", "c"} << 2 << false << 2;
    QTest::newRow("second, closed") << QStringList{"a", "b", "c"} << 1 << true << 1;
}

void TestUi::adapterChooser()
{
    QFETCH(QStringList, entries);
    QFETCH(int, pick);
    QFETCH(bool, closeWindow);
    QStringList shown;
    whenModal([&](QWidget *dialog) {
        auto *combo = dialog->findChild<QComboBox *>(QStringLiteral("comboBox"));
        for (int i = 0; i < combo->count(); ++i)
            shown << combo->itemText(i);
        if (pick >= 0)
            combo->setCurrentIndex(pick);
        if (closeWindow)
            dialog->close();
        else
            dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Ok)->click();
    });
    QTEST(corvid_choose_adapter(entries), "expected");
    QCOMPARE(shown, entries);
}

void TestUi::parametersDialog()
{
    QTemporaryDir dir;
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(dir.path());
    auto restore = qScopeGuard([&cwd] { QDir::setCurrent(cwd); });

    CorvidConfigData config(CorvidConfigData::defaultConfigFile());
    CorvidConfigDialog dialog(&config);
    QSignalSpy changed(&config, &CorvidConfigData::paramChanged);
    dialog.slotShowDialog();
    QPointer<QDialog> d = dialog.dialog();
    QVERIFY(d && d->isVisible() && d->isModal() && d->size() == QSize(800, 500));
    QCOMPARE(d->windowTitle(), QStringLiteral("Parameters"));
    QTableWidget *table = dialog.table();
    QCOMPARE(table->rowCount(), config.values().size());
    for (int row = 0; row < table->rowCount(); ++row) {  // name, value (the only one editable), description
        const QString name = table->item(row, 0)->text();
        QVERIFY(row == 0 || table->item(row - 1, 0)->text() > name);
        QString shown = QString::number(table->rowHeight(row));
        for (int c = 0; c < 3; ++c)
            shown += '|' + table->item(row, c)->text() + (table->item(row, c)->flags() & Qt::ItemIsEditable ? "*" : "");
        QCOMPARE(shown, "20|" + name + '|' + config.getParam(name) + "*|" + config.getDescription(name));
    }
    const auto buttons = d->findChildren<QPushButton *>();  // Cancel, Ok
    QCOMPARE(buttons.size(), 2);
    QVERIFY(!buttons[0]->isEnabled() && buttons[1]->isEnabled());

    for (const auto &[name, value] : {std::pair("TcpPort", "2424"), std::pair("CC_Address", "0x5")})
        table->item(table->findItems(name, Qt::MatchExactly).value(0)->row(), 1)->setText(value);
    QTest::mouseClick(buttons[1], Qt::LeftButton);
    QTRY_VERIFY(d.isNull());
    // Rows are taken from the last up: CC_Address stands below TcpPort.
    QCOMPARE(QList<QVariantList>(changed), QList<QVariantList>({{"CC_Address", "0x5"}, {"TcpPort", "2424"}}));
    CorvidConfigData saved(QStringLiteral("server_config.xml"));
    QCOMPARE(saved.getParam(QStringLiteral("TcpPort")), QStringLiteral("2424"));
    QCOMPARE(saved.values(), config.values());
}

void TestUi::promptBoxes()
{
    GuiPrompt prompt;
    QVERIFY(prompt.interactive());
    for (const auto button : {QMessageBox::Ok, QMessageBox::Cancel}) {
        QString shown;
        whenModal([&](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            shown = QString::number(box->icon()) + ' ' + box->defaultButton()->text() + ' ' + box->text();
            box->button(button)->click();
        });
        QCOMPARE(prompt.confirmListenFailure(QStringLiteral("Unable to start the server: x")), button == QMessageBox::Ok);
        QCOMPARE(shown, QString::number(QMessageBox::Critical) + QStringLiteral(" Cancel Unable to start the server: x"));
    }
    QString launch;
    whenModal([&launch](QWidget *w) {
        auto *box = qobject_cast<QMessageBox *>(w);
        launch = box->windowTitle() + '/' + box->text();
        box->button(QMessageBox::Ok)->click();
    });
    prompt.launchError(QStringLiteral("Cannot create error log file."));
    QCOMPARE(launch, QStringLiteral("Launch error/Cannot create error log file."));

    // The no-adapter box does not wait; Ignore is reported, closing by the program is not.
    int ignored = 0;
    const auto openBoxes = [] {
        QList<QMessageBox *> open;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible() && !b->isModal())
                open << b;
        return open;
    };
    const int first = prompt.showNoAdapter(QStringLiteral("No CAN adapters found."), [&ignored] { ++ignored; });
    QCOMPARE(openBoxes().size(), 1);
    openBoxes()[0]->button(QMessageBox::Ignore)->click();
    QCOMPARE(ignored, 1);
    const int second = prompt.showNoAdapter(QStringLiteral("again"), [&ignored] { ++ignored; });
    QVERIFY(first != 0 && second != first);
    prompt.closeNotice(second);
    QTRY_COMPARE(openBoxes().size(), 0);
    QCOMPARE(ignored, 1);
}

// The server program with its window on an X display of its own: an
// application connects, and the window's client table reports it.
void TestUi::serverWithWindowOnDisplay()
{
    const QString clientBinary = builtProgram(QStringLiteral("tools/client/corvid-client"));
    QVERIFY2(QFile::exists(builtProgram(QStringLiteral("app/corvid-server"))) && QFile::exists(clientBinary),
             "corvid-server or corvid-client not built");
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    QVERIFY2(!xvfb.isEmpty(), "Xvfb is missing: scripts/setup installs it");
    ChildProcess display;
    display.start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
    auto stopDisplay = qScopeGuard([&display] {
        display.terminate();
        display.waitForFinished(5000);
    });
    QVERIFY(QTest::qWaitFor([&display] { return display.canReadLine(); }, 15000));

    ServerRun run;
    const uint16_t port = freePort();
    QVERIFY(run.configure(headlessParams(port) << qMakePair(QStringLiteral("DisableGUI"), QStringLiteral("0"))));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    // The X keyboard library hands strndup a buffer longer than the string,
    // which strndup allows and the strict check reports.
    if (env.contains(QStringLiteral("ASAN_OPTIONS")))
        env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + ":strict_string_checks=0");
    env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(display.readLine().trimmed()));
    run.start(env);
    QVERIFY2(run.waitStarted(port), qPrintable(run.errorLog() + run.proc.readAllStandardError()));
    QVERIFY(!run.errorLog().contains(QStringLiteral("running without")));
    QVERIFY(run.errorLog().contains(QStringLiteral("Hardware not init")));  // written by the window

    ChildProcess client;
    client.start(clientBinary, {"--port", QString::number(port), "--name", "ui-probe", "--observer"});
    QVERIFY2(run.waitForErrorLog(QStringLiteral("TCP client #0 approved.")), qPrintable(run.errorLog()));
    client.terminate();
    QVERIFY(client.waitForFinished(5000));
    QVERIFY2(run.waitForErrorLog(QStringLiteral("TCP client #0 disconnected.")), qPrintable(run.errorLog()));
    QCOMPARE(run.stop(), 0);
}

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
