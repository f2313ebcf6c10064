#pragma once

#include <QMainWindow>
#include <QString>
#include <opencv2/core/mat.hpp>

#include <memory>

class MainWindowForm;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_pushButton_clicked();
    void on_spinBox_valueChanged(int arg1);

private:
    std::unique_ptr<MainWindowForm> form;
    QString imagePath;
    cv::Mat rgbImage; // the last loaded image at panel size, RGB order; the spin box blurs it
    cv::Mat blurImage;
};
