// The main window's dialogs and outputs: the settings dialog, the log editor
// and the multiplier view (each made when opened and freed when closed), the
// printed report (made once with the window) and the output choice.
#include <QApplication>
#include <QButtonGroup>
#include <QTimer>

#include "app/AppState.h"
#include "app/DialogHooks.h"
#include "app/MainController.h"
#include "app/VedoruzEzuEditF.h"
#include "app/VedoruzEzuF.h"
#include "app/VedoruzEzuMultsF.h"
#include "app/VedoruzEzuPrefsF.h"
#include "app/VedoruzEzuPrtF.h"

namespace qv::app {

DialogHooks TVedoruzEzu::Hooks() {
  DialogHooks hooks;
  hooks.Message = MessageHook_;
  hooks.Prompt = PromptHook_;
  hooks.OpenUrl = [this](const std::string& url) { OpenUrl(url); };
  // A restored log ends the program: the window closes (storing its
  // placement) once the dialog has gone, and with it the event loop.
  hooks.EndProgram = [this] {
    QTimer::singleShot(0, this, [this] {
      close();
      QCoreApplication::quit();
    });
  };
  return hooks;
}

void TVedoruzEzu::InstallDialogs() {
  Report_ = std::make_unique<TVedoruzEzuPrt>(this);
  Controller_->SetReportPrinter(Report_.get());
  SettingsDialog_ = [this] {
    TVedoruzEzuPrefs dialog(*Controller_, Hooks(), this);
    dialog.exec();
  };
  Controller_->SetLogEditor([this] {
    TVedoruzEzuEdit editor(*Controller_, *this, Hooks(), this);
    editor.exec();
  });
  Controller_->SetMultiplierView([this] {
    TVedoruzEzuMults view(Controller_->State().Score.Bands(), this);
    view.exec();
  });
  connect(OutputGroup_, &QButtonGroup::idClicked, this,
          [this](int) { Handle([&] { Controller_->OutFmtRadGrpClick(); }); });
}

}  // namespace qv::app
