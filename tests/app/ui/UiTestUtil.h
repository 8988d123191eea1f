#pragma once
// Helpers for widget tests on the offscreen platform: spin the event loop
// until a condition holds, and mouse events with explicit global positions.
#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QWidget>

#include <chrono>
#include <functional>

// Runs the event loop until |done| or |limitMs| passed; the final |done|.
inline bool UiWaitUntil(const std::function<bool()>& done, int limitMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!done() && std::chrono::steady_clock::now() < deadline) QTest::qWait(10);
  return done();
}

// Sends a left-button event at |local| (widget coordinates) of top-level |w|.
inline void UiSendMouse(QWidget* w, QEvent::Type type, const QPoint& local, bool held) {
  const QPointF global = w->mapToGlobal(QPointF(local));
  QMouseEvent ev(type, QPointF(local), global,
                 type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                 held ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(w, &ev);
}

// Presses at |from|, moves by |delta| and releases there.
inline void UiDrag(QWidget* w, const QPoint& from, const QPoint& delta) {
  UiSendMouse(w, QEvent::MouseButtonPress, from, true);
  UiSendMouse(w, QEvent::MouseMove, from + delta, true);
  UiSendMouse(w, QEvent::MouseButtonRelease, from + delta, false);
  QApplication::processEvents();
}
