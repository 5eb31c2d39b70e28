#include "platform/nativetoolbar.h"

#if !(defined(Q_OS_MACOS) && defined(NELVO_HAVE_QTMACEXTRAS))

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QToolBar>
#include <QWindow>

namespace {

constexpr int kToolBarIconSize = 24;

QMainWindow *mainWindowFor(const QWindow *window)
{
    if (!window)
        return nullptr;
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        if (widget->windowHandle() == window)
            return qobject_cast<QMainWindow *>(widget);
    }
    return nullptr;
}

} // namespace

NativeToolBarItem::NativeToolBarItem(const QIcon &icon, const QString &text, QObject *parent)
    : QObject(parent), m_icon(icon), m_text(text)
{
}

NativeToolBar::NativeToolBar(QObject *parent) : QObject(parent) {}

// The bar belongs to the window's widget tree, but like a platform toolbar it
// goes away with this object.
NativeToolBar::~NativeToolBar()
{
    delete m_bar.data();
}

void NativeToolBar::addSeparator()
{
    m_items.append(nullptr);
    if (m_bar)
        m_bar->addSeparator();
}

NativeToolBarItem *NativeToolBar::addItem(const QIcon &icon, const QString &text)
{
    auto *item = new NativeToolBarItem(icon, text, this);
    m_items.append(item);
    if (m_bar)
        addToBar(item);
    return item;
}

void NativeToolBar::attachToWindow(QWindow *window)
{
    QMainWindow *mainWindow = mainWindowFor(window);
    if (!mainWindow)
        return;
    delete m_bar.data();

    m_bar = new QToolBar(mainWindow);
    m_bar->setObjectName(QStringLiteral("nativeToolBar"));
    m_bar->setFloatable(false);
    m_bar->setMovable(false);
    m_bar->setIconSize(QSize(kToolBarIconSize, kToolBarIconSize));
    m_bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    // A native toolbar cannot be switched off from the window's context menu.
    m_bar->toggleViewAction()->setVisible(false);
    mainWindow->addToolBar(Qt::TopToolBarArea, m_bar);

    for (NativeToolBarItem *item : qAsConst(m_items)) {
        if (item)
            addToBar(item);
        else
            m_bar->addSeparator();
    }
}

void NativeToolBar::addToBar(NativeToolBarItem *item)
{
    QAction *action = m_bar->addAction(item->icon(), item->text());
    connect(action, &QAction::triggered, item, &NativeToolBarItem::activated);
}

#endif
