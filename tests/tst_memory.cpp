// Memory the system can give: a picture that would not fit is refused before
// it is decoded, under a real cgroup limit; a decoder that takes far more
// than its model said meets an address-space ceiling; and loads go on beside
// threads that allocate.
#include "decoding/memory.h"
#include "support/cgroup.h"
#include "support/craftedfiles.h"
#include "support/windowdriver.h"
#include "window/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <cstdlib>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Threads stopped and joined when the test ends, however it ends.
class BusyThreads
{
public:
    BusyThreads() = default;
    BusyThreads(const BusyThreads &) = delete;
    BusyThreads &operator=(const BusyThreads &) = delete;
    ~BusyThreads()
    {
        stopped = true;
        for (std::thread &thread : threads)
            thread.join();
    }
    template<typename Work> void start(Work work) { threads.emplace_back(work); }
    bool stopping() const { return stopped; }

private:
    std::atomic<bool> stopped {false};
    std::vector<std::thread> threads;
};

class MemoryTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    // Once capped, a process's allocations beyond the allowance fail and
    // those within it succeed; the cap is the decoding child's, never the
    // program's.
    void theCapStopsAllocationsBeyondItsAllowance()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("no address-space ceiling under the sanitizers");
#endif
        const pid_t child = fork();
        if (child == 0) {
            const bool capped = capAddressSpace(std::uint64_t {64} << 20);
            void *refused = std::malloc(std::size_t {512} << 20);
            void *small = std::malloc(std::size_t {1} << 20);
            _exit(capped && refused == nullptr && small != nullptr ? 0 : 1);
        }
        int status = -1;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        void *granted = std::malloc(std::size_t {512} << 20);
        QVERIFY(granted != nullptr);
        std::free(granted);
    }

    // Under a cgroup limit, a picture whose decode would need more than the
    // limit leaves is refused with its reason; a small one still loads.
    void pictureThatWouldNotFitIsRefused()
    {
        const QString big =
            writeFile(dir, QStringLiteral("big.jpg"), progressiveJpegHeader(8000, 8000));
        const QString small = dir.filePath(QStringLiteral("small.png"));
        QVERIFY(cv::imwrite(small.toStdString(), patternImage(5)));
        MainWindow window;
        window.show();
        chooseFile(window, small); // the codecs, loaded before the limit
        const std::vector<QPointer<QGraphicsScene>> before = panelScenes(window);

        const LimitedCgroup cgroup(std::uint64_t {200} << 20);
        if (!cgroup.joined())
            QSKIP("cannot make a memory cgroup here");
        const std::optional<std::uint64_t> available = availableMemory();
        QVERIFY(available && *available <= std::uint64_t {200} << 20);

        OutputCapture err(STDERR_FILENO);
        StdoutCapture out;
        chooseFile(window, big);
        QCOMPARE(out.text(), std::string("失敗\n"));
        const std::string said = err.text();
        QVERIFY2(said.find(": would not fit in memory: needs about ") != std::string::npos,
            said.c_str());
        for (size_t i = 0; i < before.size(); ++i)
            QCOMPARE(panel(window, PanelNames[i])->scene(), before[i].data());

        StdoutCapture again;
        chooseFile(window, small);
        QCOMPARE(again.text(), std::string());
        QVERIFY(same(shownPixels(panel(window, "origin")), asRgb(patternImage(5))));
    }

    // Loads under the ceiling while other threads allocate, free and start
    // threads of their own: every load shows its picture, nothing crashes.
    // glibc's malloc takes its locks across fork(); AddressSanitizer's
    // allocator does not, so there a child can inherit a lock another thread
    // held and wait on it until its deadline.
    void loadsBesideBusyThreads()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer's allocator is not fork-safe beside allocating threads");
#endif
        const QString files[] = {
            dir.filePath(QStringLiteral("a.jpg")), dir.filePath(QStringLiteral("b.png"))};
        cv::Mat picture(1500, 2000, CV_8UC3);
        cv::randu(picture, 0, 256);
        QVERIFY(cv::imwrite(files[0].toStdString(), picture));
        QVERIFY(cv::imwrite(files[1].toStdString(), picture.rowRange(0, 700)));
        std::atomic<long> allocations {0};
        BusyThreads busy;
        for (int t = 0; t < 2; ++t) {
            busy.start([&busy, &allocations, t] {
                std::size_t size = 4096;
                while (!busy.stopping()) {
                    std::vector<char> block(size, char(t));
                    allocations += block.size() > 0 ? 1 : 0;
                    size = size * 3 % (std::size_t {8} << 20) + 4096;
                    if (allocations % 64 == 0)
                        std::thread([] { std::vector<int> scratch(100000, 1); }).join();
                }
            });
        }
        MainWindow window;
        window.show();
        for (int i = 0; i < 100; ++i) {
            StdoutCapture out;
            chooseFile(window, files[i % 2]);
            QCOMPARE(out.text(), std::string());
        }
        QVERIFY(allocations > 0);
        QCOMPARE(shownPixels(panel(window, "origin")).size(), cv::Size(256, 192));
    }
};

QTEST_MAIN(MemoryTest)
#include "tst_memory.moc"
