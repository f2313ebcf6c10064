// Files that used to crash, freeze or miscolour the viewer, chosen through
// the real button and dialog, and a standard output that nobody reads.
#include "decoding/netpbm.h"
#include "support/bytesverdict.h"
#include "support/craftedfiles.h"
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// A PAM file of a BGR picture, written as netpbm writes each tuple type.
QByteArray pamFile(const cv::Mat &bgr, const char *tupleType, int depth, int maxval = 255)
{
    QByteArray file = QStringLiteral("P7\nWIDTH %1\nHEIGHT %2\nDEPTH %3\nMAXVAL %4\n")
                          .arg(bgr.cols)
                          .arg(bgr.rows)
                          .arg(depth)
                          .arg(maxval)
                          .toLatin1();
    if (*tupleType)
        file += QByteArray("TUPLTYPE ") + tupleType + "\n";
    file += "ENDHDR\n";
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x) {
            const cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
            const int samples[4] = {p[2], p[1], p[0], 128}; // red, green, blue, alpha
            for (int channel = 0; channel < depth; ++channel) {
                const int sample = depth <= 2 ? (channel == 0 ? p[0] : 128) : samples[channel];
                const int scaled = maxval == 1 ? int(sample > 127) : sample;
                if (maxval > 255)
                    file.append(static_cast<char>(scaled)); // 16 bits, v * 257
                file.append(static_cast<char>(scaled));
            }
        }
    return file;
}

// A grey picture as BGR, each value repeated in all three channels.
cv::Mat greyAsBgr(const cv::Mat &bgr, bool bilevel)
{
    cv::Mat channels[3];
    cv::split(bgr, channels);
    if (bilevel)
        cv::threshold(channels[0], channels[0], 127, 255, cv::THRESH_BINARY);
    cv::Mat grey;
    cv::cvtColor(channels[0], grey, cv::COLOR_GRAY2BGR);
    return grey;
}

// Opens the pipe for writing after a grace period whenever a reader is stuck
// on it, so that a regression fails the test instead of hanging it.
class FifoWatchdog
{
public:
    explicit FifoWatchdog(const QString &fifo) : path(QFile::encodeName(fifo))
    {
        thread = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex);
            if (wake.wait_for(lock, std::chrono::seconds(5), [this] { return done; }))
                return;
            // The decoder may open the path more than once: rescue each open.
            while (!done) {
                const int fd = open(path.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    rescued = true;
                    close(fd);
                }
                wake.wait_for(lock, std::chrono::milliseconds(50));
            }
        });
    }

    ~FifoWatchdog()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        wake.notify_all();
        thread.join();
    }

    FifoWatchdog(const FifoWatchdog &) = delete;
    FifoWatchdog &operator=(const FifoWatchdog &) = delete;

    bool hadToRescue()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return rescued;
    }

private:
    QByteArray path;
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    bool rescued = false;
    std::thread thread;
};

// Points one of the process's outputs at a pipe whose reader has gone, while
// it lives.
class PipeWithoutReader
{
public:
    explicit PipeWithoutReader(int fd) : fd(fd), saved(dup(fd))
    {
        std::fflush(nullptr);
        int ends[2];
        if (pipe(ends) != 0)
            return;
        close(ends[0]);
        dup2(ends[1], fd);
        close(ends[1]);
    }

    ~PipeWithoutReader()
    {
        std::fflush(nullptr);
        dup2(saved, fd);
        close(saved);
    }

    PipeWithoutReader(const PipeWithoutReader &) = delete;
    PipeWithoutReader &operator=(const PipeWithoutReader &) = delete;

private:
    int fd;
    int saved;
};

} // namespace

class UnsafeFilesTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;

    QString write(const char *name, const QByteArray &bytes) const
    {
        return writeFile(dir, QString::fromLatin1(name), bytes);
    }

    QString link(const char *name, const QString &target) const
    {
        const QString path = dir.filePath(QString::fromLatin1(name));
        QFile::link(target, path);
        return path;
    }

    // Chooses a file that must fail: the failure line, and no panel changed.
    void expectFailure(const QString &file)
    {
        const std::vector<QPointer<QGraphicsScene>> before = panelScenes(*window);
        StdoutCapture out;
        chooseFile(*window, file);
        QCOMPARE(out.text(), std::string("失敗\n"));
        for (size_t i = 0; i < before.size(); ++i)
            QCOMPARE(panel(*window, PanelNames[i])->scene(), before[i].data());
    }

    // Chooses a file that must be shown with these colours in the first panel.
    void expectShown(const QString &file, const cv::Mat &bgr)
    {
        StdoutCapture out;
        chooseFile(*window, file);
        QCOMPARE(out.text(), std::string());
        QVERIFY(same(shownPixels(panel(*window, "origin")), asRgb(bgr)));
    }

private slots:
    void init()
    {
        window = std::make_unique<MainWindow>();
        window->show();
    }

    void cleanup() { window.reset(); }

    void neitherCrashesNorHangsNorMiscolours()
    {
        const cv::Mat good = patternImage(21);
        const QString goodPng = write("good.png", QByteArray());
        QVERIFY(cv::imwrite(goodPng.toStdString(), good));
        expectShown(goodPng, good);

        // The DICOM decoder aborts the process on malformed files; valid ones
        // never showed right either.
        expectFailure(write("scan.png", QByteArray(128, '\0') + "DICM"));
        expectFailure(write("valid.dcm", greyDicom(16, 24)));

        // A pipe without a writer would block the decoder for ever.
        const QString fifo = dir.filePath(QStringLiteral("pipe.png"));
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        for (const QString &file : {fifo, link("to-pipe.png", fifo)}) {
            FifoWatchdog watchdog(fifo);
            expectFailure(file);
            QVERIFY2(!watchdog.hadToRescue(), "the load waited for a writer on the pipe");
        }
        const cv::Mat linked = patternImage(22);
        const QString target = write("target.png", QByteArray());
        QVERIFY(cv::imwrite(target.toStdString(), linked));
        expectShown(link("to-image.png", target), linked);

        // PAM files either show their true colours or fail; none shows wrong ones.
        const cv::Mat colour = patternImage(23);
        expectShown(write("rgb.pam", pamFile(colour, "RGB", 3)), colour);
        expectShown(write("untyped.pam", pamFile(colour, "", 3)), colour);
        expectShown(write("rgb16.pam", pamFile(colour, "RGB", 3, 65535)), colour);
        expectShown(write("grey.pam", pamFile(colour, "GRAYSCALE", 1)), greyAsBgr(colour, false));
        const struct
        {
            const char *name;
            const char *tupleType;
            int depth;
            int maxval;
            cv::Mat trueColours;
        } others[] = {
            {"rgba.pam", "RGB_ALPHA", 4, 255, colour},
            {"greya.pam", "GRAYSCALE_ALPHA", 2, 255, greyAsBgr(colour, false)},
            {"bw.pam", "BLACKANDWHITE", 1, 1, greyAsBgr(colour, true)},
            {"bwa.pam", "BLACKANDWHITE_ALPHA", 2, 1, greyAsBgr(colour, true)},
        };
        for (const auto &pam : others) {
            const cv::Mat before = shownPixels(panel(*window, "origin"));
            StdoutCapture out;
            chooseFile(
                *window, write(pam.name, pamFile(colour, pam.tupleType, pam.depth, pam.maxval)));
            const cv::Mat shown = shownPixels(panel(*window, "origin"));
            if (out.text().empty())
                QVERIFY2(same(shown, asRgb(pam.trueColours)), pam.name);
            else
                QVERIFY2(same(shown, before), pam.name);
        }

        expectShown(goodPng, good);
    }

    void pamHeaderIsReadAsTheDecoderReadsIt_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<int>("depth");
        QTest::addColumn<QByteArray>("tupleType");
        const QByteArray size = "WIDTH 2\nHEIGHT 2\nMAXVAL 255\n";
        QTest::newRow("plain") << "P7\n" + size + "DEPTH 3\nTUPLTYPE RGB\nENDHDR\n"
                               << true << 3 << QByteArray("RGB");
        QTest::newRow("last type wins")
            << "P7\n" + size + "DEPTH 4\nTUPLTYPE GRAYSCALE\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
            << true << 4 << QByteArray("RGB_ALPHA");
        QTest::newRow("comments and spaces")
            << "P7\n# made by hand\n" + size + "  DEPTH\t1 \n\nTUPLTYPE  GRAYSCALE \r\nENDHDR\n"
            << true << 1 << QByteArray("GRAYSCALE");
        QTest::newRow("no type") << "P7\n" + size + "DEPTH 3\nENDHDR\n"
                                 << true << 3 << QByteArray();
        QTest::newRow("bad depth") << "P7\n" + size + "DEPTH 3x\nENDHDR\n"
                                   << false << 0 << QByteArray();
        QTest::newRow("no end") << "P7\n" + size + "DEPTH 3\n" << false << 0 << QByteArray();
        QTest::newRow("endless line") << "P7\n# " + QByteArray(100000, 'x') + "\nENDHDR\n"
                                      << false << 0 << QByteArray();
        QTest::newRow("not a PAM: nothing asked")
            << QByteArray("P6\n2 2\n255\n") << true << 0 << QByteArray();
    }

    void pamHeaderIsReadAsTheDecoderReadsIt()
    {
        QFETCH(QByteArray, header);
        QFETCH(bool, complete);
        const Verdict verdict = inspectBytes(header);
        QCOMPARE(verdict.refusal.empty(), complete);
        if (complete) {
            // The mend asks about the depth and tuple type the decoder reads.
            QFETCH(int, depth);
            QFETCH(QByteArray, tupleType);
            const auto *pam = std::any_cast<PamHeader>(&verdict.assessment.details);
            QCOMPARE(pam ? pam->depth : 0, depth);
            QCOMPARE(pam ? QByteArray::fromStdString(pam->tupleType) : QByteArray(), tupleType);
        }
    }

    void standardOutputWithoutReader()
    {
        const QString goodPng = dir.filePath(QStringLiteral("other.png"));
        QVERIFY(cv::imwrite(goodPng.toStdString(), patternImage(24)));
        const QString text = write("notes.txt", "not a picture\n");
        {
            const PipeWithoutReader pipe(STDOUT_FILENO); // as in "morvastel | true"
            chooseFile(*window, text); // a SIGPIPE here would end this process
            chooseFile(*window, text);
        }
        expectShown(goodPng, patternImage(24));
        // The stream works again once there is a reader.
        expectFailure(text);
    }

    // libjpeg warns about a cut file, and the viewer says why it refuses a
    // huge one, both on standard error.
    void standardErrorWithoutReader()
    {
        std::vector<uchar> jpeg;
        QVERIFY(cv::imencode(".jpg", patternImage(25), jpeg));
        const QString cut = write("cut.jpg",
            QByteArray(reinterpret_cast<const char *>(jpeg.data()), qsizetype(jpeg.size() / 2)));
        const QString huge = write("huge.png", pngClaiming(20000, 20000));
        {
            const PipeWithoutReader pipe(STDERR_FILENO); // as in "morvastel 2>&1 | true"
            chooseFile(*window, cut);
            chooseFile(*window, huge);
        }
        expectFailure(huge);
    }
};

QTEST_MAIN(UnsafeFilesTest)
#include "tst_unsafe.moc"
