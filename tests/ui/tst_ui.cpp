// The window and the dialogs on the offscreen platform, and the whole server
// with its window on a virtual X display.

#include "config/CorvidConfigData.h"
#include "tests/common/server_process.h"
#include "ui/CorvidAdapterChooser.h"
#include "ui/CorvidConfigDialog.h"
#include "ui/CorvidServerWidget.h"
#include "ui/GuiPrompt.h"

#include <QComboBox>
#include <QDialog>
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

struct Diagnostic {
    QtMsgType type;
    QString text;
};
QList<Diagnostic> g_diagnostics;

void captureDiagnostic(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    g_diagnostics.append({type, text});
}

// Runs `answer` on the modal widget that the next call opens.
void whenModal(std::function<void(QWidget *)> answer)
{
    QTimer::singleShot(0, [answer]() {
        QWidget *w = nullptr;
        (void)QTest::qWaitFor([&w]() { return (w = QApplication::activeModalWidget()) != nullptr; }, 5000);
        if (w)
            answer(w);
    });
}

QString text(QWidget *root, const char *name)
{
    QObject *o = root->findChild<QObject *>(QString::fromLatin1(name));
    if (auto *l = qobject_cast<QLabel *>(o))
        return l->text();
    if (auto *b = qobject_cast<QAbstractButton *>(o))
        return b->text();
    if (auto *g = qobject_cast<QGroupBox *>(o))
        return g->title();
    return QStringLiteral("<missing %1>").arg(QLatin1String(name));
}

}  // namespace

class TestUi : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        g_diagnostics.clear();
        qInstallMessageHandler(captureDiagnostic);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void windowAfterConstruction_data();
    void windowAfterConstruction();
    void windowTableAndTextArea();
    void hardwareState_data();
    void hardwareState();
    void clientsAddedAndRemoved();
    void clientAddressShown_data();
    void clientAddressShown();
    void countersAndTextCoalesced();
    void aboutBox();
    void adapterChooser_data();
    void adapterChooser();
    void parametersDialog();
    void promptBoxes();
    void serverWithWindowOnDisplay();
};

void TestUi::windowAfterConstruction_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    const char *rows[][2] = {
        {"label", "<H1>Corvid Server</H1>"}, {"groupBox", "Server Info"},  {"label_11", "Started at:"},
        {"label_10", "HW status:"},          {"pushButton_connect", "Connect"}, {"pushButton_about", "About..."},
        {"pushButton_config", "Config..."},  {"groupBox_2", "Rx"},         {"label_2", "Received messages:"},
        {"label_5", "Received (bytes):"},    {"label_6", "Read buffer (bytes):"}, {"label_7", "CAN frames:"},
        {"groupBox_3", "Tx"},                {"label_9", "Transmitted messages:"},
        {"label_8", "Transmitted (bytes):"}, {"label_Rx_Corvid", "0"},     {"label_Rx_bytes", "0"},
        {"label_Rx_buffer", "0"},            {"label_Rx_CAN", "0"},        {"label_Tx_Corvid", "0"},
        {"label_Tx_bytes", "0"},
    };
    for (const auto &row : rows)
        QTest::newRow(row[0]) << QString::fromLatin1(row[0]) << QString::fromLatin1(row[1]);
}

void TestUi::windowAfterConstruction()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    CorvidServerWidget w;
    QCOMPARE(text(&w, name.toLatin1().constData()), expected);
}

void TestUi::windowTableAndTextArea()
{
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    CorvidServerWidget w;
    QCOMPARE(w.windowTitle(), QStringLiteral("Corvid dedicated server v.143"));
    QCOMPARE(w.size(), QSize(652, 615));
    QVERIFY(!w.windowIcon().isNull());
    QDateTime started = QDateTime::fromString(text(&w, "label_started_at"), Qt::TextDate);
    started.setTimeSpec(Qt::UTC);
    QVERIFY2(started >= before && started <= QDateTime::currentDateTimeUtc(), qPrintable(text(&w, "label_started_at")));
    QCOMPARE(w.get_m_btnParms(), w.findChild<QPushButton *>(QStringLiteral("pushButton_config")));

    auto *table = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    QVERIFY(table);
    const QStringList headers = {"Name", "Address", "Status", "Description", "Connected", "ID"};
    const int widths[] = {80, 170, 70, -1, 230, 10};
    QCOMPARE(table->columnCount(), 6);
    for (int c = 0; c < 6; ++c) {
        QCOMPARE(table->horizontalHeaderItem(c)->text(), headers[c]);
        QCOMPARE(table->isColumnHidden(c), c == 3);
        if (c == 5)
            QVERIFY(table->columnWidth(c) >= widths[c]);  // the last column takes the rest
        else if (widths[c] > 0)
            QCOMPARE(table->columnWidth(c), widths[c]);
    }

    QTextEdit *edit = w.getTextEdit();
    QCOMPARE(edit, w.findChild<QTextEdit *>(QStringLiteral("textEdit")));
    QVERIFY(edit->isReadOnly());
    QVERIFY(!edit->isUndoRedoEnabled());
}

void TestUi::hardwareState_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("diagnostic");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("status");
    // Each starts from Ready; an unknown value leaves it so.
    QTest::newRow("not init") << 1 << int(QtCriticalMsg) << "Hardware not init" << "Connect" << "Not init";
    QTest::newRow("ready") << 2 << int(QtInfoMsg) << "Hardware ready" << "Disconnect" << "Ready";
    QTest::newRow("error") << 0 << int(QtCriticalMsg) << "Hardware error occured" << "Disconnect" << "Error!";
    QTest::newRow("unknown 7") << 7 << int(QtCriticalMsg) << "Hardware in unknown state! (7)" << "Disconnect"
                               << "Ready";
    QTest::newRow("unknown -1") << -1 << int(QtCriticalMsg) << "Hardware in unknown state! (-1)" << "Disconnect"
                                << "Ready";
}

void TestUi::hardwareState()
{
    QFETCH(int, state);
    QFETCH(int, type);
    QFETCH(QString, diagnostic);
    CorvidServerWidget w;
    w.hardwareStatusHandler(AbstractConnector::HW_READY);
    g_diagnostics.clear();
    w.hardwareStatusHandler(AbstractConnector::HWState(state));
    QCOMPARE(g_diagnostics.size(), 1);
    QCOMPARE(int(g_diagnostics[0].type), type);
    QCOMPARE(g_diagnostics[0].text, diagnostic);
    QTEST(text(&w, "pushButton_connect"), "button");
    QTEST(text(&w, "label_HW_status"), "status");
}

void TestUi::clientsAddedAndRemoved()
{
    CorvidServerWidget w;
    auto *table = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    crd_client_info_t first;
    first.id = 4;
    first.description = QStringLiteral("Corvid control app (ver: 100)");
    first.app_name = QStringLiteral("watcher");
    first.observer = 1;
    crd_client_info_t second = first;
    second.id = 5;
    second.app_name = QStringLiteral("manager");
    second.observer = 0;
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    w.slotAddClient(first);
    w.slotAddClient(second);

    QCOMPARE(table->rowCount(), 2);
    const QStringList top = {first.description, QString(), "Manager", "manager", "", "5"};
    for (int c = 0; c < 6; ++c) {
        if (c != 4)
            QCOMPARE(table->item(0, c)->text(), top[c]);
    }
    QDateTime connected = QDateTime::fromString(table->item(0, 4)->text(), Qt::TextDate);
    connected.setTimeSpec(Qt::UTC);
    QVERIFY2(connected >= before && connected <= QDateTime::currentDateTimeUtc(), qPrintable(table->item(0, 4)->text()));
    QCOMPARE(table->item(1, 2)->text(), QStringLiteral("Observer"));
    QVERIFY(table->columnWidth(0) >= table->fontMetrics().horizontalAdvance(first.description));

    w.slotDisconnected(99);
    QCOMPARE(table->rowCount(), 2);
    w.slotDisconnected(4);
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->item(0, 5)->text(), QStringLiteral("5"));

    QStringList said;
    for (const Diagnostic &d : qAsConst(g_diagnostics)) {
        QCOMPARE(d.type, QtInfoMsg);
        said << d.text;
    }
    QCOMPARE(said, QStringList({"TCP client #4 approved.", "TCP client #5 approved.", "TCP client #99 disconnected.",
                                "TCP client #4 disconnected."}));
}

void TestUi::clientAddressShown_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("connectTo");
    QTest::addColumn<QString>("shown");
    QTest::newRow("IPv4") << "127.0.0.1" << "127.0.0.1" << "127.0.0.1";
    QTest::newRow("IPv4-mapped") << "any" << "127.0.0.1" << "127.0.0.1";
    QTest::newRow("IPv6 loopback") << "::1" << "::1" << "::1";
}

void TestUi::clientAddressShown()
{
    QFETCH(QString, listen);
    QFETCH(QString, connectTo);
    QFETCH(QString, shown);
    QTcpServer server;
    if (!server.listen(listen == QLatin1String("any") ? QHostAddress(QHostAddress::Any) : QHostAddress(listen), 0))
        QSKIP(qPrintable(QStringLiteral("cannot listen on %1 here: %2").arg(listen, server.errorString())));
    QTcpSocket peer;
    peer.connectToHost(QHostAddress(connectTo), server.serverPort());
    QVERIFY(server.waitForNewConnection(5000));
    QTcpSocket *accepted = server.nextPendingConnection();
    crd_client_info_t client;
    client.socket = accepted;
    CorvidServerWidget w;
    w.slotAddClient(client);
    QCOMPARE(w.findChild<QTableWidget *>(QStringLiteral("tableWidget"))->item(0, 1)->text(),
             shown + QStringLiteral(" : ") + QString::number(server.serverPort()));
}

void TestUi::countersAndTextCoalesced()
{
    CorvidServerWidget w;
    w.setRefreshInterval(50);
    const int lines = CorvidServerWidget::MAX_TEXT_LINES + 2500;
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
    QCOMPARE(text(&w, "label_Rx_Corvid"), QStringLiteral("0"));
    QCOMPARE(w.getTextEdit()->document()->isEmpty(), true);
    QTRY_COMPARE(text(&w, "label_Rx_Corvid"), QStringLiteral("100000"));
    const char *labels[] = {"label_Tx_Corvid", "label_Rx_bytes", "label_Rx_buffer", "label_Tx_bytes", "label_Rx_CAN"};
    const QString values[] = {"200000", "300000", QString::number(100000 % 7), "500000", "600000"};
    for (int i = 0; i < 5; ++i)
        QCOMPARE(text(&w, labels[i]), values[i]);

    QTextDocument *doc = w.getTextEdit()->document();
    QTRY_COMPARE(doc->lastBlock().text(), QStringLiteral("<b>kept as typed</b>"));
    QCOMPARE(doc->blockCount(), CorvidServerWidget::MAX_TEXT_LINES);
    QCOMPARE(doc->firstBlock().text(), QStringLiteral("line %1").arg(lines + 2 - CorvidServerWidget::MAX_TEXT_LINES));

    // Several lines handed over at once become one block each.
    w.appendText(QStringLiteral("kept a\nkept b"));
    w.flushPending();
    QCOMPARE(doc->lastBlock().previous().text(), QStringLiteral("kept a"));
    QCOMPARE(doc->lastBlock().text(), QStringLiteral("kept b"));
}

void TestUi::aboutBox()
{
    CorvidServerWidget w;
    w.show();
    QTest::mouseClick(w.findChild<QPushButton *>(QStringLiteral("pushButton_about")), Qt::LeftButton);
    auto *about = w.findChild<QDialog *>();
    QVERIFY(about);  // shown without blocking
    QVERIFY(about->isVisible() && about->isModal());
    QCOMPARE(about->windowTitle(), QStringLiteral("About Control Center"));
    const QString label = about->findChild<QLabel *>()->text();
    QVERIFY(label.startsWith(QStringLiteral("Control center application\n\nversion: 143\n\nchange log: ")));
    QVERIFY(label.contains(QStringLiteral("\n\nsupport devices: ")));
    QVERIFY(label.contains(QStringLiteral("Busbridge 2.0 CAN converter")));
    QVERIFY(label.contains(QStringLiteral("SNIFRX CAN sniffer (firmware since version 0002)")));
    QPushButton *ok = nullptr;
    for (QPushButton *b : about->findChildren<QPushButton *>()) {
        QCOMPARE(b->width(), 80);
        if (b->text() == QLatin1String("Ok"))
            ok = b;
    }
    QVERIFY(ok);
    QPointer<QDialog> gone(about);
    QTest::mouseClick(ok, Qt::LeftButton);
    QTRY_VERIFY(gone.isNull());
}

void TestUi::adapterChooser_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("pick");   // -1: the operator changes nothing
    QTest::addColumn<bool>("closeWindow");
    QTest::addColumn<int>("expected");
    QTest::newRow("one entry") << QStringList{"can0, Qt Virtual CAN bus"} << -1 << false << 0;
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
        for (int i = 0; combo && i < combo->count(); ++i)
            shown << combo->itemText(i);
        if (pick >= 0)
            combo->setCurrentIndex(pick);
        auto *box = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        if (closeWindow || !box)
            dialog->close();
        else
            QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
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
    QDialog *d = dialog.dialog();
    QVERIFY(d && d->isVisible() && d->isModal());
    QCOMPARE(d->windowTitle(), QStringLiteral("Parameters"));
    QCOMPARE(d->size(), QSize(800, 500));
    QTableWidget *table = dialog.table();
    QCOMPARE(table->rowCount(), config.values().size());
    QCOMPARE(table->item(0, 0)->text(), QStringLiteral("UdpPortName"));
    QCOMPARE(table->item(table->rowCount() - 1, 0)->text(), QStringLiteral("AGWPE_Hostname"));
    for (int row = 0; row < table->rowCount(); ++row) {
        const QString name = table->item(row, 0)->text();
        if (row > 0)
            QVERIFY(table->item(row - 1, 0)->text() > name);
        QCOMPARE(table->item(row, 1)->text(), config.getParam(name));
        QCOMPARE(table->item(row, 2)->text(), config.getDescription(name));
        QVERIFY(!(table->item(row, 0)->flags() & Qt::ItemIsEditable));
        QVERIFY(table->item(row, 1)->flags() & Qt::ItemIsEditable);
        QVERIFY(!(table->item(row, 2)->flags() & Qt::ItemIsEditable));
    }
    QCOMPARE(table->columnWidth(0), 160);
    QCOMPARE(table->columnWidth(1), 240);
    QVERIFY(table->columnWidth(2) >= 400);
    QCOMPARE(table->rowHeight(0), 20);
    QCOMPARE(table->verticalHeader()->sectionResizeMode(0), QHeaderView::Fixed);
    QPushButton *ok = nullptr;
    for (QPushButton *b : d->findChildren<QPushButton *>()) {
        QCOMPARE(b->width(), 60);
        QCOMPARE(b->isEnabled(), b->text() == QLatin1String("Ok"));
        if (b->isEnabled())
            ok = b;
    }
    QVERIFY(ok);

    auto edit = [table](const QString &name, const QString &value) {
        for (int row = 0; row < table->rowCount(); ++row) {
            if (table->item(row, 0)->text() == name)
                table->item(row, 1)->setText(value);
        }
    };
    edit(QStringLiteral("TcpPort"), QStringLiteral("2424"));
    edit(QStringLiteral("CC_Address"), QStringLiteral("0x5"));
    edit(QStringLiteral("Interface"), config.getParam(QStringLiteral("Interface")));  // unchanged
    QPointer<QDialog> gone(d);
    QTest::mouseClick(ok, Qt::LeftButton);
    QTRY_VERIFY(gone.isNull());
    // Rows are taken from the last up: CC_Address stands below TcpPort.
    QCOMPARE(changed.size(), 2);
    QCOMPARE(changed[0], QVariantList({"CC_Address", "0x5"}));
    QCOMPARE(changed[1], QVariantList({"TcpPort", "2424"}));

    CorvidConfigData saved(QStringLiteral("server_config.xml"));
    QCOMPARE(saved.values().size(), config.values().size());
    QCOMPARE(saved.getParam(QStringLiteral("TcpPort")), QStringLiteral("2424"));
    QCOMPARE(saved.getParam(QStringLiteral("CC_Address")), QStringLiteral("0x5"));
    QCOMPARE(saved.values(), config.values());
    QCOMPARE(saved.descriptions(), config.descriptions());

    // Ok without a change emits nothing and writes nothing.
    QFile::remove(QStringLiteral("server_config.xml"));
    dialog.slotShowDialog();
    QTest::mouseClick(dialog.dialog()->findChild<QPushButton *>(), Qt::LeftButton);  // Cancel: disabled
    QVERIFY(dialog.dialog());
    dialog.slotOkButtonPressed();
    QCOMPARE(changed.size(), 2);
    QVERIFY(!QFile::exists(QStringLiteral("server_config.xml")));
}

void TestUi::promptBoxes()
{
    GuiPrompt prompt;
    QVERIFY(prompt.interactive());
    for (const auto button : {QMessageBox::Ok, QMessageBox::Cancel}) {
        QString shown;
        whenModal([&](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            QVERIFY(box);
            shown = box->text();
            QCOMPARE(box->icon(), QMessageBox::Critical);
            QCOMPARE(box->defaultButton(), box->button(QMessageBox::Cancel));
            box->button(button)->click();
        });
        QCOMPARE(prompt.confirmListenFailure(QStringLiteral("Unable to start the server: The address is protected")), button == QMessageBox::Ok);
        QCOMPARE(shown, QStringLiteral("Unable to start the server: The address is protected"));
    }

    whenModal([](QWidget *w) {
        auto *box = qobject_cast<QMessageBox *>(w);
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), QStringLiteral("Launch error"));
        QCOMPARE(box->text(), QStringLiteral("Cannot create error log file."));
        box->button(QMessageBox::Ok)->click();
    });
    prompt.launchError(QStringLiteral("Cannot create error log file."));

    // The no-adapter box does not wait; Ignore is reported, closing is not.
    int ignored = 0;
    const int first = prompt.showNoAdapter(QStringLiteral("No CAN adapters found. Connection failed."),
                                           [&ignored] { ++ignored; });
    QVERIFY(first != 0);
    auto boxes = [] {
        QList<QMessageBox *> open;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
                open << b;
        return open;
    };
    QCOMPARE(boxes().size(), 1);
    QCOMPARE(boxes()[0]->text(), QStringLiteral("No CAN adapters found. Connection failed."));
    QVERIFY(!boxes()[0]->isModal());
    boxes()[0]->button(QMessageBox::Ignore)->click();
    QCOMPARE(ignored, 1);
    const int second = prompt.showNoAdapter(QStringLiteral("again"), [&ignored] { ++ignored; });
    QVERIFY(second != first);
    prompt.closeNotice(second);
    QTRY_COMPARE(boxes().size(), 0);
    QCOMPARE(ignored, 1);
}

// The server program with its window on an X display of its own: an
// application connects, and the window's client table reports it.
void TestUi::serverWithWindowOnDisplay()
{
    const QString clientBinary = buildDir() + QStringLiteral("/tools/client/corvid-client");
    QVERIFY2(QFile::exists(serverBinary()), "corvid-server is not built");
    QVERIFY2(QFile::exists(clientBinary), "corvid-client is not built");
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    QVERIFY2(!xvfb.isEmpty(), "Xvfb is missing: scripts/setup installs it");

    QProcess display;
    display.start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
    auto stopDisplay = qScopeGuard([&display] {
        display.terminate();
        display.waitForFinished(5000);
    });
    QVERIFY(QTest::qWaitFor([&display] { return display.canReadLine(); }, 15000));
    const QString displayName = QLatin1Char(':') + QString::fromLatin1(display.readLine().trimmed());

    ServerRun run;
    const uint16_t port = freePort();
    writeConfig(run.path(QStringLiteral("server_config.xml")),
                {{"Interface", "none"}, {"DisableGUI", "0"}, {"TcpPort", QString::number(port)},
                 {"ErrorLogFile", "server_logs/error_log"}, {"CorvidLogFile", "server_logs/corvid_log"}});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("DISPLAY"), displayName);
    run.start(env);
    QVERIFY2(run.waitStarted(port), qPrintable(run.errorLog()));
    QVERIFY(!run.errorLog().contains(QStringLiteral("running without")));
    QVERIFY(run.errorLog().contains(QStringLiteral("Hardware not init")));  // the window's line

    QProcess client;
    client.start(clientBinary, {"--port", QString::number(port), "--name", "ui-probe", "--observer"});
    QVERIFY2(run.waitForErrorLog(QStringLiteral("TCP client #0 approved.")), qPrintable(run.errorLog()));
    client.terminate();
    QVERIFY(client.waitForFinished(5000));
    QVERIFY2(run.waitForErrorLog(QStringLiteral("TCP client #0 disconnected.")), qPrintable(run.errorLog()));
    QCOMPARE(run.stop(), 0);
}

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
