#pragma once

#include <QWidget>
#include <map>

#include "forms/form.h"

class QTabWidget;

namespace ostrel {

class Desktop;

// Screen pixels per model unit: the models are laid out for a 13-pixel font; the desktop's own
// font scales them.
double ModelScale();

// Draws a form model: one widget per control, named after it, placed by the model's bounds
// (scaled to the desktop font), mirroring every model change and passing every user action
// to the model's events.
class TFormView : public QWidget {
    Q_OBJECT
public:
    TFormView(TForm& form, Desktop& desktop, QWidget* parent = nullptr);
    ~TFormView() override;

    TForm& Model() { return form_; }
    QWidget* WidgetFor(const TControl* control) const;
    // Pixels per model unit.
    double Scale() const { return scale_; }
    void SetTopmost(bool topmost);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* Build(TControl& control, QWidget* parent);
    void Bind(TControl& control, QWidget* widget);
    void SyncWindow();
    void SyncControl(TControl& control);
    QRect Scaled(const TControl& c) const;
    int HelpContextOfFocus() const;

    TForm& form_;
    Desktop& desktop_;
    double scale_ = 1.0;
    std::map<const TControl*, QWidget*> widgets_;
    bool syncing_ = false;
};

} // namespace ostrel
