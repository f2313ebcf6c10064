// Faults injected into the real codec libraries (tests/faults, preloaded), as
// a bug or an exploit makes them behave, while they decode an ordinary 640 x
// 480 picture, through the real window in a real X server: each costs the
// failure line and no more. The program keeps running and its display, no
// file appears, nothing reaches standard output, no process or shared memory
// is left, and a good picture then loads.
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const Libraries[] = {"libjpeg", "libpng", "libwebp", "libde265", "dav1d", "libtiff"};
const char *const Faults[] = {
    "abort", "wild", "wait", "loop", "gigabytes", "file", "shell", "sockets", "print", "exit"};

// What the process holds: descriptors, sockets among them, and mappings of
// shared memory.
struct Held
{
    int descriptors = 0;
    int sockets = 0;
    int sharedMappings = 0;

    bool operator==(const Held &other) const
    {
        return descriptors == other.descriptors && sharedMappings == other.sharedMappings;
    }
};

Held held()
{
    Held now;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System)) {
        using FileStatus = struct stat;
        FileStatus status {};
        ++now.descriptors;
        if (fstat(fd.toInt(), &status) == 0 && S_ISSOCK(status.st_mode))
            ++now.sockets;
    }
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (maps.open(QIODevice::ReadOnly))
        now.sharedMappings = int(maps.readAll().count("/dev/zero (deleted)"));
    return now;
}

// Whether this process has a child, living or not yet reaped.
bool hasChildren()
{
    return waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD;
}

} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString home;
    std::unique_ptr<MainWindow> window;
    QMap<QString, QString> faulty; // by library: the 640 x 480 picture it decodes
    QMap<QString, QString> good; // and a 320 x 240 one

    // The picture in the formats each library decodes.
    QString write(const cv::Mat &picture, const QString &library)
    {
        const QString stem = dir.filePath(library + QString::number(picture.cols));
        const QString png = stem + QStringLiteral(".png");
        cv::imwrite(png.toStdString(), picture);
        const QMap<QString, QString> extensions = {
            {"libjpeg", ".jpg"}, {"libpng", ".png"}, {"libwebp", ".webp"}, {"libtiff", ".tiff"}};
        if (extensions.contains(library)) {
            const QString file = stem + extensions[library];
            cv::imwrite(file.toStdString(), picture);
            return file;
        }
        const bool avif = library == QLatin1String("dav1d");
        const QString file = stem + (avif ? QStringLiteral(".avif") : QStringLiteral(".heic"));
        QStringList arguments = {QStringLiteral("-o"), file, png};
        if (avif)
            arguments.prepend(QStringLiteral("-A"));
        QProcess::execute(QStringLiteral("heif-enc"), arguments);
        return file;
    }

    // Loads the file with the fault set: the failure line, and no change.
    void expectContained(const QString &library, const QString &fault)
    {
        const std::vector<QPointer<QGraphicsScene>> before = panelScenes(*window);
        const Held heldBefore = held();
        int sockets[2];
        QVERIFY(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sockets) == 0);
        qputenv("MORVASTEL_TEST_FAULT", (library + ':' + fault).toUtf8());
        std::string said;
        std::string printed;
        QElapsedTimer clock;
        {
            OutputCapture err(STDERR_FILENO);
            StdoutCapture out;
            clock.start();
            chooseFile(*window, faulty[library]);
            said = err.text();
            printed = out.text();
        }
        const qint64 took = clock.elapsed();
        qunsetenv("MORVASTEL_TEST_FAULT");
        char received[4];
        const bool wrote = recv(sockets[1], received, sizeof received, 0) > 0;
        close(sockets[0]);
        close(sockets[1]);

        QCOMPARE(printed, std::string("失敗\n"));
        const std::string line = "morvastel: " + faulty[library].toStdString() + ": ";
        QVERIFY2(said.find(line) != std::string::npos, said.c_str());
        if (fault == QLatin1String("print"))
            QVERIFY2(said.find(line + "hijacked output") != std::string::npos, said.c_str());
        QVERIFY2(took < 2500, qPrintable(QString::number(took)));
        for (std::size_t i = 0; i < before.size(); ++i)
            QCOMPARE(panel(*window, PanelNames[i])->scene(), before[i].data());
        QVERIFY(QDir(home).isEmpty(QDir::NoDotAndDotDot | QDir::Files));
        QVERIFY(!wrote);
        QVERIFY(!hasChildren());
        QVERIFY(held() == heldBefore);
    }

    void expectShown(const QString &file)
    {
        StdoutCapture out;
        chooseFile(*window, file);
        QCOMPARE(out.text(), std::string());
        QCOMPARE(shownPixels(panel(*window, "origin")).size(), cv::Size(256, 192));
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        home = dir.filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkpath(home));
        qputenv("HOME", home.toUtf8());
        for (const char *library : Libraries) {
            faulty[library] = write(photoLike(cv::Size(640, 480), 1), library);
            good[library] = write(photoLike(cv::Size(320, 240), 2), library);
            QVERIFY2(QFile::exists(faulty[library]), library);
        }
        window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        // The display connection is among what the process holds.
        QVERIFY(held().sockets > 0);
        for (const char *library : Libraries)
            expectShown(faulty[library]);
    }

    void cleanupTestCase() { window.reset(); }

    void faultIsContained_data()
    {
        QTest::addColumn<QString>("library");
        QTest::addColumn<QString>("fault");
        for (const char *library : Libraries)
            for (const char *fault : Faults)
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(library, fault)))
                    << QString::fromLatin1(library) << QString::fromLatin1(fault);
    }

    void faultIsContained()
    {
        QFETCH(QString, library);
        QFETCH(QString, fault);
        expectContained(library, fault);
        expectShown(good[library]);
        QVERIFY(window->isVisible());
    }

    // A decoder may take 100 MiB more than its model says, threaded ones
    // included: the ceiling stands well above what honest decodes take.
    void decodersHaveRoomBeyondTheirModel_data()
    {
        QTest::addColumn<QString>("library");
        for (const char *library : Libraries)
            QTest::newRow(library) << QString::fromLatin1(library);
    }

    void decodersHaveRoomBeyondTheirModel()
    {
        QFETCH(QString, library);
        expectShown(good[library]);
        const cv::Mat small = shownPixels(panel(*window, "origin"));
        qputenv("MORVASTEL_TEST_FAULT", (library + QStringLiteral(":margin")).toUtf8());
        expectShown(faulty[library]);
        qunsetenv("MORVASTEL_TEST_FAULT");
        QVERIFY(!same(shownPixels(panel(*window, "origin")), small));
    }

    // The file swapped for another between its checks and its decode: the
    // decoder reads the file that was checked, through its descriptor.
    void theDecoderReadsTheCheckedFile()
    {
        const QString checked = dir.filePath(QStringLiteral("checked.png"));
        const QString other = dir.filePath(QStringLiteral("other.png"));
        QVERIFY(cv::imwrite(checked.toStdString(), patternImage(1)));
        QVERIFY(cv::imwrite(other.toStdString(), patternImage(2)));
        qputenv("MORVASTEL_TEST_SWAP", (other + ':' + checked).toUtf8());
        expectShown(checked);
        qunsetenv("MORVASTEL_TEST_SWAP");
        QVERIFY(!QFile::exists(other)); // swapped
        QVERIFY(same(shownPixels(panel(*window, "origin")), asRgb(patternImage(1))));
    }
};

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
