#include "qt/form_view.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "forms/application.h"
#include "platform/desktop.h"
#include "qt/icons.h"

namespace ostrel {

namespace {

// Ten page tabs fit the window's width only with less room around their captions than the
// style gives; without it the last tabs hide behind scroll arrows.
class TCompactTabStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        return metric == PM_TabBarTabHSpace ? value * 2 / 3 : value;
    }
};

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}
std::string S(const QString& s) {
    return s.toUtf8().toStdString();
}

void Invoke(TForm& form, const std::function<void()>& fn) {
    Application().Invoke(form.ClassName(), fn);
}

// The font height the model's coordinates were laid out for.
constexpr int kModelFontHeight = 13;
} // namespace

double ModelScale() {
    const int fontHeight = QFontMetrics(QApplication::font()).height();
    return std::max(1.0, static_cast<double>(fontHeight) / kModelFontHeight);
}

TFormView::TFormView(TForm& form, Desktop& desktop, QWidget* parent)
    : QWidget(parent, Qt::Window), form_(form), desktop_(desktop) {
    setObjectName(Q(form.Name()));
    scale_ = ModelScale();
    Qt::WindowFlags flags = Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (form.MinimizeButton)
        flags |= Qt::WindowMinimizeButtonHint;
    if (form.HelpButton)
        flags |= Qt::WindowContextHelpButtonHint;
    if (form.Borderless)
        flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    setWindowFlags(flags);
    for (TControl* child : form.Children())
        Build(*child, this);
    form.OnViewUpdate = [this] { SyncWindow(); };
    form.OnFocusRequest = [this](TControl& c) {
        if (QWidget* w = WidgetFor(&c))
            w->setFocus(Qt::OtherFocusReason);
    };
    qApp->installEventFilter(this);
    SyncWindow();
}

TFormView::~TFormView() {
    qApp->removeEventFilter(this);
    form_.OnViewUpdate = nullptr;
    form_.OnFocusRequest = nullptr;
    for (TControl* c : form_.AllControls())
        c->OnViewUpdate = nullptr;
}

QWidget* TFormView::WidgetFor(const TControl* control) const {
    auto it = widgets_.find(control);
    return it == widgets_.end() ? nullptr : it->second;
}

QRect TFormView::Scaled(const TControl& c) const {
    auto s = [this](int v) { return static_cast<int>(std::lround(v * scale_)); };
    return QRect(s(c.Left()), s(c.Top()), s(c.Width()), s(c.Height()));
}

void TFormView::SetTopmost(bool topmost) {
    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
    if (wasVisible)
        show();
}

QWidget* TFormView::Build(TControl& c, QWidget* parent) {
    QWidget* w = nullptr;
    switch (c.Kind()) {
    case TControlKind::PageControl: {
        auto* tabs = new QTabWidget(parent);
        auto* style = new TCompactTabStyle;
        style->setParent(tabs);
        tabs->tabBar()->setStyle(style);
        w = tabs;
        break;
    }
    case TControlKind::TabSheet: {
        w = new QWidget();
        break;
    }
    case TControlKind::GroupBox:
        w = new QGroupBox(parent);
        break;
    case TControlKind::Label: {
        auto& label = static_cast<TLabel&>(c);
        auto* l = new QLabel(parent);
        l->setWordWrap(label.WordWrap);
        l->setAlignment((label.Centered ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
        if (label.Panel) {
            l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            l->setAutoFillBackground(true);
            QPalette palette = l->palette();
            palette.setColor(QPalette::Window, Qt::white);
            palette.setColor(QPalette::WindowText, Qt::black);
            l->setPalette(palette);
            l->setMargin(6);
        }
        if (label.Bold || label.FontSizeDelta != 0) {
            QFont f = l->font();
            f.setBold(label.Bold);
            f.setPointSizeF(f.pointSizeF() + label.FontSizeDelta);
            l->setFont(f);
        }
        w = l;
        break;
    }
    case TControlKind::Edit:
        w = new QLineEdit(parent);
        break;
    case TControlKind::Memo:
        w = new QPlainTextEdit(parent);
        break;
    case TControlKind::CheckBox:
        w = new QCheckBox(parent);
        break;
    case TControlKind::RadioGroup: {
        auto* box = new QGroupBox(parent);
        auto* layout = new QVBoxLayout(box);
        layout->setContentsMargins(8, 2, 8, 2);
        layout->setSpacing(0);
        auto* group = new QButtonGroup(box);
        group->setObjectName("group");
        w = box;
        break;
    }
    case TControlKind::ComboBox:
        w = new QComboBox(parent);
        break;
    case TControlKind::ListBox:
        w = new QListWidget(parent);
        break;
    case TControlKind::Button:
        w = new QPushButton(parent);
        static_cast<QPushButton*>(w)->setAutoDefault(false);
        break;
    case TControlKind::Image:
        w = new QLabel(parent);
        break;
    case TControlKind::ProgressBar:
        w = new QProgressBar(parent);
        break;
    case TControlKind::Form:
        return nullptr;
    }
    w->setObjectName(Q(c.Name()));
    widgets_[&c] = w;
    if (c.Kind() == TControlKind::TabSheet) {
        auto* tabs = qobject_cast<QTabWidget*>(parent);
        tabs->addTab(w, Q(c.Caption()));
    } else {
        w->setGeometry(Scaled(c));
    }
    for (TControl* child : c.Children())
        Build(*child, w);
    Bind(c, w);
    SyncControl(c);
    return w;
}

void TFormView::Bind(TControl& c, QWidget* w) {
    c.OnViewUpdate = [this, &c] { SyncControl(c); };
    switch (c.Kind()) {
    case TControlKind::PageControl: {
        auto* tabs = static_cast<QTabWidget*>(w);
        auto& pc = static_cast<TPageControl&>(c);
        connect(tabs, &QTabWidget::currentChanged, this, [this, &pc](int index) {
            if (syncing_)
                return;
            auto pages = pc.Pages();
            if (index >= 0 && index < static_cast<int>(pages.size()))
                Invoke(form_, [&pc, page = pages[static_cast<size_t>(index)]] { pc.UserSelect(page); });
        });
        break;
    }
    case TControlKind::Label: {
        // Clicks on labels reach the model through the event filter; mnemonic buddies are set
        // once every widget exists (SyncWindow).
        w->installEventFilter(this);
        break;
    }
    case TControlKind::Edit: {
        auto& edit = static_cast<TEdit&>(c);
        connect(static_cast<QLineEdit*>(w), &QLineEdit::textEdited, this,
                [this, &edit](const QString& text) { Invoke(form_, [&] { edit.SetText(S(text)); }); });
        break;
    }
    case TControlKind::Memo: {
        auto& memo = static_cast<TMemo&>(c);
        auto* pe = static_cast<QPlainTextEdit*>(w);
        connect(pe, &QPlainTextEdit::textChanged, this, [this, &memo, pe] {
            if (!syncing_)
                Invoke(form_, [&] { memo.SetText(S(pe->toPlainText())); });
        });
        break;
    }
    case TControlKind::CheckBox: {
        auto& box = static_cast<TCheckBox&>(c);
        connect(static_cast<QCheckBox*>(w), &QCheckBox::clicked, this,
                [this, &box](bool) { Invoke(form_, [&] { box.Click(); }); });
        break;
    }
    case TControlKind::RadioGroup: {
        auto& rg = static_cast<TRadioGroup&>(c);
        auto* group = w->findChild<QButtonGroup*>("group");
        connect(group, &QButtonGroup::idClicked, this,
                [this, &rg](int id) { Invoke(form_, [&] { rg.SetItemIndex(id); }); });
        break;
    }
    case TControlKind::ComboBox: {
        auto& combo = static_cast<TComboBox&>(c);
        connect(static_cast<QComboBox*>(w), QOverload<int>::of(&QComboBox::activated), this,
                [this, &combo](int index) { Invoke(form_, [&] { combo.SetItemIndex(index); }); });
        break;
    }
    case TControlKind::ListBox: {
        auto& list = static_cast<TListBox&>(c);
        auto* lw = static_cast<QListWidget*>(w);
        connect(lw, &QListWidget::currentRowChanged, this, [this, &list](int row) {
            if (syncing_)
                return;
            Invoke(form_, [&] {
                list.SetItemIndex(row);
                if (list.OnClick)
                    list.OnClick();
            });
        });
        connect(lw, &QListWidget::itemDoubleClicked, this, [this, &list] {
            Invoke(form_, [&] {
                if (list.OnDblClick)
                    list.OnDblClick();
            });
        });
        if (TPopupMenu* menu = list.PopupMenu()) {
            lw->setContextMenuPolicy(Qt::CustomContextMenu);
            connect(lw, &QListWidget::customContextMenuRequested, this, [this, lw, menu, &list](const QPoint& pos) {
                // A click selects the entry under the pointer (or none); the menu opens only
                // over an entry.
                QListWidgetItem* item = lw->itemAt(pos);
                Invoke(form_, [&] { list.SetItemIndex(item ? lw->row(item) : -1); });
                if (!item)
                    return;
                QMenu popup(lw);
                for (auto& entry : menu->Items()) {
                    QAction* a = popup.addAction(Q(entry.Caption));
                    a->setObjectName(Q(entry.Name));
                    a->setEnabled(entry.Enabled);
                    connect(a, &QAction::triggered, this, [this, &entry] { Invoke(form_, entry.OnClick); });
                }
                popup.exec(lw->viewport()->mapToGlobal(pos));
            });
        }
        break;
    }
    case TControlKind::Button: {
        auto& button = static_cast<TButton&>(c);
        connect(static_cast<QPushButton*>(w), &QPushButton::clicked, this,
                [this, &button] { Invoke(form_, [&] { button.Click(); }); });
        break;
    }
    default:
        break;
    }
}

void TFormView::SyncControl(TControl& c) {
    QWidget* w = WidgetFor(&c);
    if (!w)
        return;
    syncing_ = true;
    w->setEnabled(c.Enabled());
    w->setToolTip(Q(c.Hint()));
    if (c.Kind() != TControlKind::TabSheet) {
        w->setGeometry(Scaled(c));
        w->setVisible(c.Visible());
    }
    switch (c.Kind()) {
    case TControlKind::PageControl: {
        auto& pc = static_cast<TPageControl&>(c);
        auto* tabs = static_cast<QTabWidget*>(w);
        if (QWidget* page = WidgetFor(pc.ActivePage()); page && tabs->currentWidget() != page)
            tabs->setCurrentWidget(page);
        break;
    }
    case TControlKind::TabSheet: {
        auto* tabs = qobject_cast<QTabWidget*>(w->parentWidget() ? w->parentWidget()->parentWidget() : nullptr);
        if (tabs)
            tabs->setTabText(tabs->indexOf(w), Q(c.Caption()));
        break;
    }
    case TControlKind::GroupBox:
        static_cast<QGroupBox*>(w)->setTitle(Q(c.Caption()));
        break;
    case TControlKind::Label: {
        auto* l = static_cast<QLabel*>(w);
        QString text = Q(c.Caption());
        if (static_cast<TLabel&>(c).KeepEnd)
            text = l->fontMetrics().elidedText(text, Qt::ElideLeft, l->contentsRect().width());
        l->setText(text);
        break;
    }
    case TControlKind::Edit: {
        auto* le = static_cast<QLineEdit*>(w);
        const QString text = Q(static_cast<TEdit&>(c).Text());
        if (le->text() != text)
            le->setText(text);
        le->setReadOnly(static_cast<TEdit&>(c).ReadOnly);
        le->setEchoMode(static_cast<TEdit&>(c).Password ? QLineEdit::Password : QLineEdit::Normal);
        break;
    }
    case TControlKind::Memo: {
        auto* pe = static_cast<QPlainTextEdit*>(w);
        const QString text = Q(static_cast<TMemo&>(c).Text());
        if (pe->toPlainText() != text)
            pe->setPlainText(text);
        pe->setReadOnly(static_cast<TMemo&>(c).ReadOnly);
        break;
    }
    case TControlKind::CheckBox: {
        auto* cb = static_cast<QCheckBox*>(w);
        cb->setText(Q(c.Caption()));
        cb->setChecked(static_cast<TCheckBox&>(c).Checked());
        break;
    }
    case TControlKind::RadioGroup: {
        auto& rg = static_cast<TRadioGroup&>(c);
        auto* box = static_cast<QGroupBox*>(w);
        box->setTitle(Q(c.Caption()));
        auto* group = box->findChild<QButtonGroup*>("group");
        auto buttons = group->buttons();
        if (buttons.size() != static_cast<int>(rg.Items().size())) {
            for (auto* b : buttons) {
                group->removeButton(b);
                delete b;
            }
            int id = 0;
            for (const auto& item : rg.Items()) {
                auto* rb = new QRadioButton(Q(item), box);
                rb->setObjectName(Q(c.Name() + "_" + std::to_string(id)));
                box->layout()->addWidget(rb);
                group->addButton(rb, id++);
            }
        }
        // "No button selected" has to be shown too, which an exclusive group cannot do.
        group->setExclusive(false);
        for (auto* b : group->buttons())
            b->setChecked(group->id(b) == rg.ItemIndex());
        group->setExclusive(true);
        break;
    }
    case TControlKind::ComboBox: {
        auto& combo = static_cast<TComboBox&>(c);
        auto* qc = static_cast<QComboBox*>(w);
        QStringList items;
        for (const auto& i : combo.Items())
            items << Q(i);
        QStringList current;
        for (int i = 0; i < qc->count(); ++i)
            current << qc->itemText(i);
        if (items != current) {
            qc->clear();
            qc->addItems(items);
        }
        qc->setCurrentIndex(combo.ItemIndex());
        break;
    }
    case TControlKind::ListBox: {
        auto& list = static_cast<TListBox&>(c);
        auto* lw = static_cast<QListWidget*>(w);
        QStringList items;
        for (const auto& i : list.Items())
            items << Q(list.DisplayText ? list.DisplayText(i) : i);
        bool same = lw->count() == items.size();
        for (int i = 0; same && i < items.size(); ++i)
            same = lw->item(i)->text() == items[i];
        if (!same) {
            lw->clear();
            lw->addItems(items);
        }
        lw->setCurrentRow(list.ItemIndex());
        if (list.TopIndex() < lw->count() && lw->item(list.TopIndex()))
            lw->scrollToItem(lw->item(list.TopIndex()), QAbstractItemView::PositionAtTop);
        // The selected entry stays in sight: a search finds it further down.
        if (QListWidgetItem* current = lw->currentItem())
            lw->scrollToItem(current, QAbstractItemView::EnsureVisible);
        break;
    }
    case TControlKind::Button: {
        auto& button = static_cast<TButton&>(c);
        auto* pb = static_cast<QPushButton*>(w);
        pb->setText(Q(c.Caption()));
        pb->setDefault(button.Default());
        break;
    }
    case TControlKind::Image: {
        auto* l = static_cast<QLabel*>(w);
        l->setPixmap(OstrelIcon(static_cast<TImage&>(c).Picture).pixmap(Scaled(c).size()));
        break;
    }
    case TControlKind::ProgressBar: {
        auto& pb = static_cast<TProgressBar&>(c);
        auto* q = static_cast<QProgressBar*>(w);
        q->setRange(pb.Min, pb.Max);
        q->setValue(pb.Position());
        q->setTextVisible(false);
        break;
    }
    default:
        break;
    }
    syncing_ = false;
}

void TFormView::SyncWindow() {
    setWindowTitle(Q(form_.Caption()));
    const QRect r = Scaled(form_);
    setFixedSize(r.size());
    // A form's position is in model units too: the desktop reports the screen and the pointer
    // in them, so a form centred by the model is centred on the screen.
    move(r.topLeft());
    for (TControl* c : form_.AllControls())
        if (c->Kind() == TControlKind::Label)
            if (auto* target = static_cast<TLabel*>(c)->FocusControl)
                static_cast<QLabel*>(WidgetFor(c))->setBuddy(WidgetFor(target));
    if (form_.Visible() && !isVisible()) {
        show();
        raise();
    } else if (!form_.Visible() && isVisible()) {
        hide();
    }
}

void TFormView::closeEvent(QCloseEvent* event) {
    bool closed = false;
    Invoke(form_, [&] { closed = form_.Close(); });
    if (closed)
        event->accept();
    else
        event->ignore();
}

void TFormView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange) {
        const bool minimized = windowState() & Qt::WindowMinimized;
        Invoke(form_, [&] { form_.SetWindowState(minimized ? TWindowState::wsMinimized : TWindowState::wsNormal); });
        if (!form_.Visible())
            setWindowState(windowState() & ~Qt::WindowMinimized);
    }
    QWidget::changeEvent(event);
}

int TFormView::HelpContextOfFocus() const {
    QWidget* focus = QApplication::focusWidget();
    for (QWidget* w = focus; w && w != this; w = w->parentWidget()) {
        for (const auto& [control, widget] : widgets_) {
            if (widget != w)
                continue;
            const TControl* c = control;
            // The active page's own context stands for everything on it without one.
            if (c->HelpContext() != 0)
                return c->HelpContext();
        }
    }
    return 0;
}

bool TFormView::eventFilter(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (event->type() == QEvent::MouseButtonRelease && widget) {
        for (auto& [control, w] : widgets_)
            if (w == widget && control->Kind() == TControlKind::Label) {
                auto* label = const_cast<TLabel*>(static_cast<const TLabel*>(control));
                Invoke(form_, [label] { label->Click(); });
                return false;
            }
    }
    // A key the focus widget ignores travels on to its parents; take it only where it starts.
    const bool keyStartsHere =
        widget == QApplication::focusWidget() || (!QApplication::focusWidget() && widget == this);
    if (event->type() == QEvent::KeyPress && widget && keyStartsHere && (widget == this || isAncestorOf(widget))) {
        auto* ke = static_cast<QKeyEvent*>(event);
        TShiftState shift = 0;
        if (ke->modifiers() & Qt::ShiftModifier)
            shift |= ssShift;
        if (ke->modifiers() & Qt::ControlModifier)
            shift |= ssCtrl;
        if (ke->modifiers() & Qt::AltModifier)
            shift |= ssAlt;
        int key = ke->key();
        if (key >= Qt::Key_A && key <= Qt::Key_Z)
            key = 'A' + (key - Qt::Key_A);
        else if (key >= Qt::Key_0 && key <= Qt::Key_9)
            key = '0' + (key - Qt::Key_0);
        else if (key == Qt::Key_F1)
            key = VK_F1;
        else if (key == Qt::Key_F3)
            key = VK_F3;
        else if (key == Qt::Key_Return || key == Qt::Key_Enter)
            key = VK_RETURN;
        else if (key == Qt::Key_Escape)
            key = VK_ESCAPE;
        if (form_.KeyPreview && form_.OnKeyDown)
            form_.OnKeyDown(key, shift);
        if (key == 0)
            return true;
        if (key == VK_F1) {
            int context = HelpContextOfFocus();
            if (context == 0)
                if (auto* pc = form_.Find<TPageControl>("PageControl1"); pc && pc->ActivePage())
                    context = pc->ActivePage()->HelpContext();
            desktop_.ShowHelp(context);
            return true;
        }
        if (key == VK_RETURN && !qobject_cast<QPlainTextEdit*>(widget)) {
            if (TButton* b = form_.DefaultButton()) {
                Invoke(form_, [b] { b->Click(); });
                return true;
            }
        }
        if (key == VK_ESCAPE) {
            if (TButton* b = form_.CancelButton()) {
                Invoke(form_, [b] { b->Click(); });
                return true;
            }
        }
    }
    if (event->type() == QEvent::EnterWhatsThisMode) {
        desktop_.ShowHelp(HelpContextOfFocus());
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace ostrel
