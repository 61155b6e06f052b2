// The main window: the report list of the run's contacts, the entry row, the
// buttons, the status memo, the clock panels and the hidden trace memo.
#pragma once

#include "core/logbook_data.h"
#include "core/logbook_list.h"
#include "framework/qt/focus_navigation.h"
#include "ui/entry_controls.h"
#include "upload/post_to_server.h"

#include <QWidget>

#include <memory>
#include <string>

class QAction;
class QColor;
class QMenu;
class QTimer;
class TLogbookListModel;
class THttpCli;
class TStringList;

namespace Ui {
class TForm1;
}

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // Builds the window from its layout and runs FormCreate to the end.
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The controls of the layout, by their names.
    Ui::TForm1& Controls() { return *ui; }

    // Fields besides the controls.
    std::string StationCallsign;                    // chosen in the settings dialog; empty at start
    std::string VersionTitle;                       // the window's caption
    bool RealTimeMode = false;                      // the pickers follow the UTC clock
    std::unique_ptr<TLogbookData> SelectedSnapshot; // key of the next edit upload

    TLogbookList& Logbook() { return FLogbook; }

    QTimer* Timer1 = nullptr; // the one-second clock
    QTimer* Timer2 = nullptr; // the one-shot settings prompt after start
    QMenu* PopupMenuListView = nullptr;
    QAction* Adauga1 = nullptr;
    QAction* Editeaza1 = nullptr;
    QAction* Sterge1 = nullptr;
    QAction* UploadServer1 = nullptr;
    // Carried by the form and never used for a request: while it exists the
    // Windows Sockets library stays loaded, so uploads do not load and unload
    // it each time. The form is its one owner: it has no component owner and
    // is never released through a posted message.
    std::unique_ptr<THttpCli> HttpCli1;
    // Where the uploads go and how long they wait: the compiled-in settings,
    // which the program never changes; tests point them at a server of theirs.
    TPostSettings PostSettings;

    // Handlers, under the names of the components and events they serve.
    void FormCreate();
    void FormShow();
    void Timer1Timer();
    void Timer2Timer();
    void CloseBtnClick();
    void SetariBtnClick();
    void AdaugaBtnClick();
    void EditBtnClick();
    void StergeBtnClick();
    void ListView1SelectItem(int row, bool selected);
    void Sterge1Click();
    void UploadServer1Click();
    // Pop-up menu and web buttons
    void Adauga1Click();
    void Editeaza1Click();
    void WebLogBtnClick();
    void WebMapBtnClick();
    // Character key presses in the eight entry controls: one behaviour under
    // the names of the controls it serves. Enter moves on to the next control
    // instead of reaching the control.
    using TEntryKeyPress = void (*)(QWidget* sender, char& key);
    static constexpr TEntryKeyPress DatePickerKeyPress = EnterMovesToNextControl;
    static constexpr TEntryKeyPress OraPickerKeyPress = EnterMovesToNextControl;
    static constexpr TEntryKeyPress BandComboKeyPress = EnterMovesToNextControl;
    static constexpr TEntryKeyPress ModComboKeyPress = EnterMovesToNextControl;
    static constexpr TEntryKeyPress EditIndicativKeyPress = EnterMovesToNextControl;
    static constexpr TEntryKeyPress EditRXKeyPress = EnterMovesToNextControl;
    static constexpr TEntryKeyPress EditTXKeyPress = EnterMovesToNextControl;
    static constexpr TEntryKeyPress EditLocatorKeyPress = EnterMovesToNextControl;

    // Rewrites every row of the list from its record.
    void RefreshListView();
    // The focus to the callsign field, or to the date picker outside
    // real-time mode.
    void ReturnFocus();

    // The upload procedures acting on this window (also used by the pop-up
    // menu and the QSO dialog).
    void ShowQsoSummary(const TLogbookData& record);
    // Sends a new contact; true when an exchange took place without failure.
    bool UploadNewQso(TLogbookData& record);
    // Sends a changed contact keyed by its values at selection time.
    void UploadEditedQso(const TLogbookData& key, TLogbookData& changed);
    // One exchange with the upload endpoint.
    bool PostToServer(const TStringList& body, std::string& reply);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    class TView;

    void WireHandlers();
    void WireMenuAndWebButtons();
    // The background of the nine entry controls: sky blue while a listed
    // contact is being edited, the window colour for a new one.
    void SetEntryColour(const QColor& colour);
    // The entry row's eight contact controls.
    TEntryControls EntryRow() const;
    // Readies the entry fields for the next contact: the callsign emptied,
    // both reports "59", the locator emptied or kept. Band, mode and the
    // pickers stay as they are.
    enum class TLocator { Clear, Keep };
    void ClearEntryFields(TLocator locator);
    // Both add operations: a new record numbered by the rows before it,
    // filled from `source`, listed, then uploaded.
    void AppendContact(const TEntryControls& source);
    // The record of a list row; null for a row outside the list (-1: none).
    TLogbookData* RecordAt(int row);
    // While the entry row shows a listed contact for editing: shows it again,
    // with SelectedSnapshot, as its record now holds it (after an upload or
    // the QSO dialog changed the record).
    void ReloadShownContact();

    std::unique_ptr<Ui::TForm1> ui;
    TLogbookList FLogbook;
    TLogbookListModel* FListModel = nullptr;
    std::unique_ptr<TView> FView;
    // The contact the entry row shows in the editing state; null in the
    // new-contact state.
    TLogbookData* FShownRecord = nullptr;
    // The close question is open: a second close waits for its answer.
    bool FAskingToClose = false;
};

// The main window, created at start-up.
extern TForm1* Form1;
