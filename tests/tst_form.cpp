// The window as built: widget tree, texts, spin box, wiring and meta-object.
#include "window/mainwindow.h"
#include "window/mainwindowform.h"

#include <QGraphicsView>
#include <QLabel>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>

class FormTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }

    void widgetTree()
    {
        MainWindow window;
        QCOMPARE(window.size(), QSize(800, 600));
        QCOMPARE(window.windowTitle(), QStringLiteral("morvastel"));
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window.toolTipDuration(), -1);
        QVERIFY(window.parent() == nullptr && window.isWindow());

        QWidget *central = window.centralWidget();
        QVERIFY(central);
        QCOMPARE(central->objectName(), QStringLiteral("centralwidget"));

        struct Expected
        {
            const char *name;
            const char *className;
            QRect geometry;
            const char *text;
        };
        const Expected expected[] = {
            {"origin", "QGraphicsView", {10, 40, 241, 191}, nullptr},
            {"label", "QLabel", {110, 20, 40, 12}, "原圖"},
            {"label_2", "QLabel", {380, 10, 81, 21}, "平均灰階"},
            {"label_3", "QLabel", {660, 20, 40, 12}, "灰階"},
            {"mygray", "QGraphicsView", {280, 40, 241, 191}, nullptr},
            {"gray", "QGraphicsView", {550, 40, 241, 191}, nullptr},
            {"gaussian", "QGraphicsView", {10, 290, 241, 191}, nullptr},
            {"sobel", "QGraphicsView", {280, 290, 241, 191}, nullptr},
            {"laplacian", "QGraphicsView", {550, 290, 241, 191}, nullptr},
            {"label_4", "QLabel", {650, 270, 101, 20}, "laplacian "},
            {"label_5", "QLabel", {380, 270, 61, 16}, "sobel"},
            {"label_6", "QLabel", {110, 270, 91, 16}, "Gaussian"},
            {"pushButton", "QPushButton", {339, 510, 101, 20}, "select image"},
            {"spinBox", "QSpinBox", {100, 500, 42, 22}, nullptr},
        };
        // Children are listed in creation order: the form creates them in table order.
        const QObjectList children = central->children();
        QCOMPARE(children.size(), qsizetype(std::size(expected)));
        for (qsizetype i = 0; i < children.size(); ++i) {
            auto *widget = qobject_cast<QWidget *>(children[i]);
            const Expected &want = expected[i];
            QVERIFY(widget);
            QCOMPARE(widget->objectName(), QString::fromUtf8(want.name));
            QCOMPARE(widget->metaObject()->className(), want.className);
            QCOMPARE(widget->geometry(), want.geometry);
            QString text;
            if (auto *label = qobject_cast<QLabel *>(widget))
                text = label->text();
            if (auto *button = qobject_cast<QPushButton *>(widget))
                text = button->text();
            QCOMPARE(text, QString::fromUtf8(want.text));
            if (auto *view = qobject_cast<QGraphicsView *>(widget))
                QVERIFY(!view->scene());
        }
        QCOMPARE(window.findChild<QLabel *>("label_4")->text().size(), 10);

        QMenuBar *menu = window.menuBar();
        QCOMPARE(menu->objectName(), QStringLiteral("menubar"));
        QCOMPARE(menu->parent(), &window);
        QVERIFY(menu->actions().isEmpty());
        QStatusBar *status = window.statusBar();
        QCOMPARE(status->objectName(), QStringLiteral("statusbar"));
        QCOMPARE(status->parent(), &window);
        QVERIFY(status->currentMessage().isEmpty());
    }

    void spinBoxSettings()
    {
        MainWindow window;
        auto *spin = window.findChild<QSpinBox *>("spinBox");
        QCOMPARE(spin->minimum(), 1);
        QCOMPARE(spin->maximum(), 51);
        QCOMPARE(spin->singleStep(), 2);
        QCOMPARE(spin->stepType(), QAbstractSpinBox::DefaultStepType);
        QCOMPARE(spin->value(), 1);

        for (int i = 0; i < 30; ++i)
            QTest::keyClick(spin, Qt::Key_Up);
        QCOMPARE(spin->value(), 51);
        spin->selectAll();
        QTest::keyClicks(spin, "24");
        QCOMPARE(spin->value(), 24);
    }

    void slotsConnectedByName()
    {
        MainWindow window;
        // A string-based disconnect succeeds only where the connection exists.
        QVERIFY(QObject::disconnect(window.findChild<QPushButton *>("pushButton"),
            SIGNAL(clicked()), &window, SLOT(on_pushButton_clicked())));
        QVERIFY(QObject::disconnect(window.findChild<QSpinBox *>("spinBox"),
            SIGNAL(valueChanged(int)), &window, SLOT(on_spinBox_valueChanged(int))));
    }

    void metaObject()
    {
        MainWindow window;
        const QMetaObject *meta = window.metaObject();
        QCOMPARE(meta->className(), "MainWindow");
        QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 2);
        QCOMPARE(meta->propertyCount() - meta->propertyOffset(), 0);
        QCOMPARE(meta->enumeratorCount() - meta->enumeratorOffset(), 0);
        const char *const signatures[] = {
            "on_pushButton_clicked()", "on_spinBox_valueChanged(int)"};
        for (int i = 0; i < 2; ++i) {
            const QMetaMethod method = meta->method(meta->methodOffset() + i);
            QCOMPARE(method.methodSignature(), QByteArray(signatures[i]));
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), QMetaMethod::Private);
            QCOMPARE(method.returnType(), int(QMetaType::Void));
        }
        QCOMPARE(
            meta->method(meta->methodOffset() + 1).parameterNames(), QList<QByteArray> {"arg1"});
        QCOMPARE(window.qt_metacast("MainWindow"), static_cast<void *>(&window));
    }

    void objectNameOnlyWhenMissing()
    {
        QMainWindow named;
        named.setObjectName(QStringLiteral("viewer"));
        MainWindowForm namedForm;
        namedForm.setupUi(&named);
        QCOMPARE(named.objectName(), QStringLiteral("viewer"));

        QMainWindow unnamed;
        MainWindowForm unnamedForm;
        unnamedForm.setupUi(&unnamed);
        QCOMPARE(unnamed.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(unnamed.windowTitle(), QStringLiteral("MainWindow"));
    }
};

QTEST_MAIN(FormTest)
#include "tst_form.moc"
