#pragma once
// The dialog's way of telling and asking the operator: modal message boxes
// with the caption "提示". UI thread only.
#include <QPointer>
#include <QWidget>

#include "app/HX_IOperatorPrompt.h"

class VrMessageBoxPrompt : public HX_IOperatorPrompt {
 public:
  explicit VrMessageBoxPrompt(QWidget* parent) : m_pParent(parent) {}
  void showMessage(const std::string& text) override;
  bool askOkCancel(const std::string& text) override;

  // The operator text in the running language: the source texts are the
  // Chinese ones, translated in the "HX_RunText" context.
  static QString Translate(const std::string& text);

 private:
  QPointer<QWidget> m_pParent;
};
