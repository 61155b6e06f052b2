#include "ui/Setari.h"

#include "ui/Log.h"
#include "ui_Setari.h"

#include "framework/qt/message_box.h"
#include "framework/qt/qt_application.h"
#include "framework/qt/qt_text.h"

#include <QFocusEvent>
#include <QKeyEvent>

TForm2* Form2 = nullptr;

const char* const kAuthorCredit = "Autor: Radu Ionescu, QQ9ABC - Radioclubul QQ9XYZ";

TForm2::TForm2(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TForm2>()) {
    ui->setupUi(this);
    AutoSizeLabels(this);
    // Set by the main window's creation handler for this dialog, which exists
    // only now.
    SetDialogBorder(this);
    ui->Edit2->installEventFilter(this);
    connect(ui->Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->Button4, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->AboutBtn, &QPushButton::clicked, this, Guarded([this] { AboutBtnClick(); }));
    RunGuarded([this] { FormCreate(); });
}

TForm2::~TForm2() {
    if (Form2 == this)
        Form2 = nullptr;
}

void TForm2::FormCreate() {
    setWindowTitle(ToQString(Form1->VersionTitle));
}

void TForm2::AboutBtnClick() {
    ShowMessage(Form1->VersionTitle + "\r" + kAuthorCredit);
}

void TForm2::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The code field is selected at every showing, so that what the operator
    // types replaces the hidden code.
    ui->Edit2->selectAll();
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
    // As in a Windows dialog, the code field is selected whenever it gets
    // the focus other than by a click: from the keyboard, or when the
    // dialog is shown or activated with the focus in it.
    if (watched == ui->Edit2 && event->type() == QEvent::FocusIn) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::MouseFocusReason && reason != Qt::PopupFocusReason)
            ui->Edit2->selectAll();
    }
    return QDialog::eventFilter(watched, event);
}

void TForm2::keyPressEvent(QKeyEvent* event) {
    // Esc presses the cancel button, and a disabled button cannot be
    // pressed: while Cancel is disabled Esc does nothing (the close box
    // still closes the dialog).
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (ui->Button4->isEnabled())
            ui->Button4->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool TForm2::DemoMode() const {
    return ui->InternetBox->isChecked();
}

void TForm2::SetDemoMode(bool on) {
    ui->InternetBox->setChecked(on);
}
