#include "upload/procedures.h"

#include "upload/bodies.h"

const char* const kMaintainerAddress = "logbook@qq9xyz.example.org";

namespace {

bool Contains(const std::string& text, const char* marker) {
    return text.find(marker) != std::string::npos;
}

} // namespace

void ShowQsoSummary(TUploadView& view, const TLogbookData& r) {
    view.SetSummary("QSO -> : Data: " + ListDateText(r.QsoDate) +
                    "\tOra: " + ListTimeText(r.QsoTime) + "\tIndicativ: " + r.Callsign +
                    "\tRX: " + r.Rx + "\tTX: " + r.Tx + "\tLocator: " + r.Locator +
                    "\tBanda: " + r.Band + "\tMod: " + r.Mode);
}

void ExtractBetweenTags(const std::string& text, const std::string& openTag,
                        const std::string& closeTag, std::string& result) {
    size_t p = text.find(openTag);
    size_t q = text.find(closeTag);
    if (p == std::string::npos || q == std::string::npos)
        return;
    size_t start = p + openTag.size();
    result = q > start ? text.substr(start, q - start) : std::string();
}

bool UploadNewQso(TUploadView& view, TLogbookData& record, const TPostToServer& post) {
    bool result = false;
    ShowQsoSummary(view, record);
    TStringList body;
    body.Add(BuildAddBody(record, view.UploadSettings()));
    view.AppendTrace("----- ADD QSO -----");
    view.AppendTrace("ADIF Data trimis -> " + body[0]);
    if (!view.DemoMode()) {
        std::string reply;
        result = post(body, reply);
        view.AppendTrace("ADDQSO Raspuns -> " + reply);
        // Each test stands on its own: one answer may carry several markers.
        if (!result) {
            view.AppendStatus("Conexiune Internet inexistenta");
            view.ShowMessage("n-ai net");
        }
        if (Contains(reply, "<insert>1</insert>"))
            view.AppendStatus("Raspuns server: Validat");
        if (Contains(reply, "<insert>0</insert>")) {
            view.AppendStatus("Raspuns server: Fail");
            view.ShowMessage("Reintroduceti");
        }
        if (Contains(reply, "<error>Unknown user</error>")) {
            view.AppendStatus(std::string("Raspuns server: Upload Code gresit! Cereti unul la ") +
                              kMaintainerAddress);
            view.ShowMessage("Verificati Upload Code");
        }
        // An answer without an identifier keeps the one the contact has; a
        // failure's text is never taken for an answer.
        std::string id = record.QsoId;
        if (result)
            ExtractBetweenTags(reply, "<id>", "</id>", id);
        view.AppendTrace("QSOID -> " + id);
        record.QsoId = id;
        if (result && Contains(reply, "<insert>1</insert>"))
            MarkAccepted(record);
        view.RefreshListView();
    }
    view.ResetEntryAfterAdd();
    return result;
}

void UploadEditedQso(TUploadView& view, const TLogbookData& key, TLogbookData& changed,
                     const TPostToServer& post) {
    ShowQsoSummary(view, changed);
    const TUploadSettings settings = view.UploadSettings();
    const std::string keyPart = BuildEditKeyPart(key);
    const std::string dataPart = BuildEditDataPart(changed, settings);
    TStringList body;
    body.Add(BuildEditBody(keyPart, dataPart, settings));
    view.AppendTrace("----- EDIT QSO -----");
    view.AppendTrace("ADIF KEY -> " + keyPart);
    view.AppendTrace("ADIF New DATA -> " + dataPart);
    view.AppendTrace("Modify string -> " + body[0]);
    // Not uploaded in its new form until the service validates the edit; a
    // refused edit leaves the online log with the values it accepted last.
    changed.Uploaded = 0;
    view.RefreshListView();
    if (view.DemoMode())
        return;
    std::string reply;
    bool ok = post(body, reply);
    view.AppendTrace("EDITQSO Raspuns -> " + reply);
    // A failed exchange is told like a failed add, and the contact keeps its
    // identifier: the online log still holds it under that one.
    if (!ok) {
        view.AppendStatus("Conexiune Internet inexistenta");
        view.ShowMessage("n-ai net");
    }
    if (Contains(reply, "<update>1</update>"))
        view.AppendStatus("Raspuns server: Validat");
    if (Contains(reply, "<error>Unknown user</error>")) {
        view.AppendStatus("Raspuns server: Fail");
        view.ShowMessage("User / Upload key gresit");
    }
    if (Contains(reply, "<error>Unable to find QSO</error>")) {
        view.AppendStatus("Raspuns server: QSO Negasit");
        view.ShowMessage("Wrong ADIF Key ?");
    }
    if (ok) {
        ExtractBetweenTags(reply, "<id>", "</id>", changed.QsoId);
        if (Contains(reply, "<update>1</update>"))
            MarkAccepted(changed);
    }
    // Show the new identifier and status at once rather than at the next add.
    view.RefreshListView();
}

void ResendQso(TUploadView& view, TLogbookData* selected, const TPostToServer& post) {
    // The re-send always uploads, whatever DEMO mode says, and then puts the
    // box back as the operator left it.
    const bool demoBefore = view.DemoMode();
    view.SetDemoMode(false);
    if (selected) {
        view.AppendStatus(">" + selected->QsoId + "<");
        if (!selected->QsoId.empty()) {
            view.AppendStatus("QSO existent pe server");
        } else {
            view.LoadQsoDialog(*selected);
            bool ok = UploadNewQso(view, *selected, post);
            if (ok) {
                if (!selected->QsoId.empty())
                    view.AppendStatus("QSO trimis pe server");
                else if (selected->Callsign.empty() || selected->Rx.empty() || selected->Tx.empty())
                    view.AppendStatus("Completati campurile inainte de trimitere");
            }
        }
    }
    view.SetDemoMode(demoBefore);
}
