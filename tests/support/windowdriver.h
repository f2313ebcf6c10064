#pragma once

#include <QPointer>
#include <QString>
#include <opencv2/core/mat.hpp>

#include <string>
#include <vector>

class MainWindow;
class QGraphicsScene;
class QGraphicsView;
class QTemporaryDir;

// Drives a MainWindow as a user would: clicks "select image", types the path
// into the real file dialog and accepts it (an empty path cancels).
void chooseFile(MainWindow &window, const QString &path);

QGraphicsView *panel(MainWindow &window, const char *name);

// Writes the bytes to a file of that name in the folder; returns its path.
QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes);

// The picture a panel shows, read back from its scene as 8-bit RGB; empty
// when the panel shows nothing.
cv::Mat shownPixels(QGraphicsView *view);

// The scenes the six panels show, in PanelNames order; each pointer turns
// null when its scene is deleted.
std::vector<QPointer<QGraphicsScene>> panelScenes(MainWindow &window);

// Number of scenes alive among the window's children.
int liveScenes(MainWindow &window);

// Everything written to one of the process's outputs (by default standard
// output, file descriptor 1) while it lives.
class OutputCapture
{
public:
    explicit OutputCapture(int fd = 1);
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;
    std::string text();

private:
    void restore();
    int capturedFd;
    int savedFd = -1;
    std::FILE *file = nullptr;
};
using StdoutCapture = OutputCapture;

// The six panel names in the order the window fills them.
inline const char *const PanelNames[] = {
    "origin", "mygray", "gray", "gaussian", "sobel", "laplacian"};

// Same size, type and every byte.
bool same(const cv::Mat &a, const cv::Mat &b);

cv::Mat asRgb(const cv::Mat &bgr);

// A square Gaussian blur with mirrored edges, as the spin box should show it.
cv::Mat mirroredBlur(const cv::Mat &rgb, int side);

// A 256 x 192 BGR picture with different values in every channel, row and column.
cv::Mat patternImage(int seed = 0);

// A BGR picture as photos are: large soft shapes, finer texture and edges,
// and sensor noise.
cv::Mat photoLike(cv::Size size, int seed);
