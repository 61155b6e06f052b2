// The QSO dialog, through which contacts are also added and edited. Created
// once at start-up and reused.
#pragma once

#include <QDialog>

class TFormLogbookData : public QDialog {
    Q_OBJECT
public:
    explicit TFormLogbookData(QWidget* parent = nullptr);
    ~TFormLogbookData() override;
};

// The QSO dialog, created at start-up.
extern TFormLogbookData* FormLogbookData;
