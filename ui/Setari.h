// The settings dialog: station callsign, upload code, real-time entry and
// DEMO mode. Created once at start-up and reused; its controls keep their
// state between showings.
#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class TForm2;
}

class TForm2 : public QDialog {
    Q_OBJECT
public:
    // Builds the dialog from its layout and runs FormCreate; the main window
    // must exist.
    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

    Ui::TForm2& Controls() { return *ui; }

    void FormCreate();
    void AboutBtnClick();

    // DEMO mode: the tick of " DEMO mode", read at the moment it matters.
    bool DemoMode() const;
    void SetDemoMode(bool on);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::unique_ptr<Ui::TForm2> ui;
};

// The author credit of the about text.
extern const char* const kAuthorCredit;

// The settings dialog, created at start-up.
extern TForm2* Form2;
