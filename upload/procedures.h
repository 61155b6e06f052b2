// The add, edit and re-send procedures: they turn contacts into uploads and
// the service's answers into what the operator sees. They act on the main
// window only through TUploadView, so they can run without a GUI.
#pragma once

#include "core/logbook_data.h"
#include "core/settings.h"
#include "framework/strings.h"

#include <functional>
#include <string>

class TUploadView {
public:
    virtual ~TUploadView() = default;
    virtual void SetSummary(const std::string& text) = 0;   // replaces the status memo's text
    virtual void AppendStatus(const std::string& line) = 0; // a new line in the status memo
    virtual void AppendTrace(const std::string& line) = 0;  // a new line in the developer trace
    virtual void ShowMessage(const std::string& text) = 0;  // modal box, returns when closed
    virtual bool DemoMode() = 0;                            // read at the moment it matters
    virtual void SetDemoMode(bool on) = 0;
    virtual TUploadSettings UploadSettings() = 0;
    virtual void RefreshListView() = 0;
    // After an add: an entry row ready for a new contact gets the focus back
    // to the callsign (or the date picker outside real-time mode), callsign
    // emptied, both reports "59"; one showing a listed contact for editing
    // keeps showing that contact, as its record now holds it.
    virtual void ResetEntryAfterAdd() = 0;
    // Puts a contact into the QSO dialog's controls without showing it.
    virtual void LoadQsoDialog(const TLogbookData& record) = 0;
};

// One exchange with the upload endpoint: true and the answer, or false and
// the failure's text.
using TPostToServer = std::function<bool(const TStringList& body, std::string& reply)>;

// The maintainer named in the "Upload Code gresit" line.
extern const char* const kMaintainerAddress;

// Writes the contact as the status memo's only line.
void ShowQsoSummary(TUploadView& view, const TLogbookData& record);

// The text between the first `openTag` and the first `closeTag`; `result` is
// left unchanged when either is missing.
void ExtractBetweenTags(const std::string& text, const std::string& openTag,
                        const std::string& closeTag, std::string& result);

// Sends a new contact; true when an exchange took place without failure. A
// validated add makes the contact's values the accepted ones.
bool UploadNewQso(TUploadView& view, TLogbookData& record, const TPostToServer& post);

// Sends a changed contact keyed by `key` (see EditKey). The contact shows
// STATUS NO from now on until the service validates the edit, which makes
// its values the accepted ones.
void UploadEditedQso(TUploadView& view, const TLogbookData& key, TLogbookData& changed,
                     const TPostToServer& post);

// Sends again a listed contact that has no identifier yet (`selected` is the
// first selected row's record, or null).
void ResendQso(TUploadView& view, TLogbookData* selected, const TPostToServer& post);
