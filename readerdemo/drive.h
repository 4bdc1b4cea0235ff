// Driving the main window from a program rather than by hand (the tour, the
// stall benchmark): find a control, let the event loop run, wait for what a
// click asked for.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QString>

#include <cstdio>

namespace drive {

// Runs the event loop until done() holds or ms have passed; returns done().
template <class Done>
bool WaitUntil(Done done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

// Runs the event loop for ms.
inline void Pause(int ms) {
    WaitUntil([] { return false; }, ms);
}

// The control of that objectName in w; nullptr, said on standard error
// under who's name, when there is none.
template <class T>
T *Find(QObject &w, const char *name, const char *who) {
    T *c = w.findChild<T *>(QString::fromLatin1(name));
    if (!c) std::fprintf(stderr, "%s: no component %s\n", who, name);
    return c;
}

}  // namespace drive
