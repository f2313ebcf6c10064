#include "support/windowdriver.h"

#include "window/mainwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <unistd.h>

namespace {

bool pooledThreadsLeft()
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile name(tasks.filePath(task + QStringLiteral("/comm")));
        if (name.open(QIODevice::ReadOnly) && name.readAll().startsWith("Thread (pooled)"))
            return true;
    }
    return false;
}

// Qt converts and paints large pictures on its global thread pool, and ends
// the pool's detached threads only as the application goes, a moment before
// the leak checker runs: a thread caught half-gone then has its thread data
// reported as leaked. Ending them first, and waiting until the system no
// longer lists them, leaves nothing for the checker to catch.
void endPooledThreads()
{
    QThreadPool::globalInstance()->waitForDone();
    QDeadlineTimer deadline(5000);
    while (pooledThreadsLeft() && !deadline.hasExpired())
        QThread::msleep(1);
}

void endPooledThreadsWithTheApplication()
{
    qAddPostRoutine(endPooledThreads);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(endPooledThreadsWithTheApplication)

void chooseFile(MainWindow &window, const QString &path)
{
    bool answered = false;
    bool stuck = false;
    int ticksSinceAnswer = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (answered) {
            // A dialog still up a second after the answer (a refused path, a
            // message box) would block the test for ever: close it and fail.
            if (modal && ++ticksSinceAnswer > 200) {
                stuck = true;
                modal->close();
            }
            return;
        }
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return;
        answered = true;
        if (path.isEmpty()) {
            QTest::keyClick(dialog, Qt::Key_Escape);
            return;
        }
        auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(nameEdit);
        nameEdit->setText(path);
        QTest::keyClick(nameEdit, Qt::Key_Return);
    });
    poll.start(5);
    QTest::mouseClick(
        window.findChild<QPushButton *>(QStringLiteral("pushButton")), Qt::LeftButton);
    QVERIFY2(answered, "the file dialog never opened");
    QVERIFY2(!stuck, "the file dialog did not close");
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    QFile file(dir.filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return file.fileName();
}

QGraphicsView *panel(MainWindow &window, const char *name)
{
    return window.findChild<QGraphicsView *>(QString::fromLatin1(name));
}

cv::Mat shownPixels(QGraphicsView *view)
{
    if (!view->scene())
        return {};
    const auto items = view->scene()->items();
    if (items.size() != 1)
        return {};
    const auto *item = qgraphicsitem_cast<QGraphicsPixmapItem *>(items.first());
    if (!item || item->pos() != QPointF(0, 0))
        return {};
    const QImage image = item->pixmap().toImage().convertToFormat(QImage::Format_RGB888);
    cv::Mat pixels(image.height(), image.width(), CV_8UC3);
    for (int y = 0; y < image.height(); ++y)
        std::copy_n(image.constScanLine(y), image.width() * 3, pixels.ptr<uchar>(y));
    return pixels;
}

std::vector<QPointer<QGraphicsScene>> panelScenes(MainWindow &window)
{
    std::vector<QPointer<QGraphicsScene>> scenes;
    for (const char *name : PanelNames)
        scenes.emplace_back(panel(window, name)->scene());
    return scenes;
}

int liveScenes(MainWindow &window)
{
    return static_cast<int>(window.findChildren<QGraphicsScene *>().size());
}

OutputCapture::OutputCapture(int fd) : capturedFd(fd)
{
    std::fflush(nullptr);
    file = std::tmpfile();
    savedFd = dup(capturedFd);
    dup2(fileno(file), capturedFd);
}

OutputCapture::~OutputCapture()
{
    restore();
    if (file)
        std::fclose(file);
}

void OutputCapture::restore()
{
    if (savedFd < 0)
        return;
    std::fflush(nullptr);
    dup2(savedFd, capturedFd);
    close(savedFd);
    savedFd = -1;
}

std::string OutputCapture::text()
{
    restore();
    std::string captured;
    if (std::fseek(file, 0, SEEK_SET) != 0)
        return captured;
    for (int c; (c = std::fgetc(file)) != EOF;)
        captured.push_back(static_cast<char>(c));
    return captured;
}

cv::Mat patternImage(int seed)
{
    cv::Mat image(192, 256, CV_8UC3);
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(
                uchar(x + seed), uchar(y * 3 + seed), uchar((x * 7 + y * 11 + seed) % 251));
    return image;
}

bool same(const cv::Mat &a, const cv::Mat &b)
{
    return a.size() == b.size() && a.type() == b.type() &&
        (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

cv::Mat asRgb(const cv::Mat &bgr)
{
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    return rgb;
}

cv::Mat mirroredBlur(const cv::Mat &rgb, int side)
{
    cv::Mat blurred;
    cv::GaussianBlur(rgb, blurred, cv::Size(side, side), 0, 0, cv::BORDER_REFLECT_101);
    return blurred;
}

cv::Mat photoLike(cv::Size size, int seed)
{
    cv::RNG rng(seed);
    // Large soft shapes: low-resolution noise scaled up smoothly.
    cv::Mat coarse(24, 32, CV_8UC3);
    rng.fill(coarse, cv::RNG::UNIFORM, 30, 230);
    cv::Mat image;
    cv::resize(coarse, image, size, 0, 0, cv::INTER_CUBIC);
    // Finer texture and edges, then per-pixel noise as a camera sensor adds.
    cv::Mat texture(size.height / 16, size.width / 16, CV_8UC3);
    rng.fill(texture, cv::RNG::NORMAL, 0, 20);
    cv::resize(texture, texture, size, 0, 0, cv::INTER_LINEAR);
    image += texture;
    for (int i = 0; i < 60; ++i)
        cv::circle(image, {rng.uniform(0, size.width), rng.uniform(0, size.height)},
            rng.uniform(size.width / 80, size.width / 10),
            cv::Scalar(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255)),
            rng.uniform(2, 30), cv::LINE_AA);
    cv::Mat noise(size, CV_16SC3);
    rng.fill(noise, cv::RNG::NORMAL, 0, 6);
    cv::Mat noisy;
    image.convertTo(noisy, CV_16SC3);
    noisy += noise;
    noisy.convertTo(image, CV_8UC3);
    return image;
}
