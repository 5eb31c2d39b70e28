#pragma once

// The window's native toolbar. On macOS with QtMacExtras this is the platform's
// own toolbar; elsewhere a small widget toolbar of ours offers the same four
// operations, so the window code is the same everywhere.

// Defines Q_OS_MACOS, which the choice below depends on.
#include <QtGlobal>

#if defined(Q_OS_MACOS) && defined(NELVO_HAVE_QTMACEXTRAS)

#include <QMacToolBar>
#include <QMacToolBarItem>
using NativeToolBar = QMacToolBar;
using NativeToolBarItem = QMacToolBarItem;

#else

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

class QToolBar;
class QWindow;

class NativeToolBarItem : public QObject
{
    Q_OBJECT

public:
    NativeToolBarItem(const QIcon &icon, const QString &text, QObject *parent);

    QIcon icon() const { return m_icon; }
    QString text() const { return m_text; }

signals:
    void activated();

private:
    QIcon m_icon;
    QString m_text;
};

class NativeToolBar : public QObject
{
    Q_OBJECT

public:
    explicit NativeToolBar(QObject *parent = nullptr);
    ~NativeToolBar() override;

    void addSeparator();
    NativeToolBarItem *addItem(const QIcon &icon, const QString &text);
    void attachToWindow(QWindow *window);

private:
    void addToBar(NativeToolBarItem *item);

    QVector<NativeToolBarItem *> m_items; // null entries stand for separators
    QPointer<QToolBar> m_bar;
};

#endif
