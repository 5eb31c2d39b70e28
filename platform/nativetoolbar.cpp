// Placeholder until the toolbar lands.
#include "platform/nativetoolbar.h"
NativeToolBarItem::NativeToolBarItem(const QIcon &i, const QString &t, QObject *p) : QObject(p), m_icon(i), m_text(t) {}
NativeToolBar::NativeToolBar(QObject *p) : QObject(p) {}
NativeToolBar::~NativeToolBar() = default;
void NativeToolBar::addSeparator() {}
NativeToolBarItem *NativeToolBar::addItem(const QIcon &i, const QString &t) { return new NativeToolBarItem(i, t, this); }
void NativeToolBar::attachToWindow(QWindow *) {}
void NativeToolBar::addToBar(NativeToolBarItem *) {}
