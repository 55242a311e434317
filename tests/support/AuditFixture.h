#pragma once
// A program folder in a temporary directory with an embedded audit database, a program log
// and a lab network written from JSON text: what an engine test needs.

#include "applib/Log.h"
#include "support/LoggedTest.h"
#include "engine/DataDM.h"
#include "engine/Progress.h"
#include "platform/lab/LabNetwork.h"
#include "store/ConnectionDM.h"

#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace velmora::test {

// Progress that records what it was told, and presses Cancel when a heading starts with a
// given text (as a user clicking while that step is shown).
class ScriptedProgress : public engine::ProgressBase
{
public:
    QStringList headings;
    QStringList captions;
    QString cancelAtHeading;

protected:
    void OnHeading(const QString& text) override
    {
        if (text.isEmpty())
            return;
        headings << text;
        if (!cancelAtHeading.isEmpty() && text.startsWith(cancelAtHeading))
            ClickCancel();
    }
    void OnCaption(const QString& text) override { captions << text; }
};

class AuditFixture : public LoggedTest
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads a lab network from JSON text (written to a file in the folder) and builds the
    // engine on it; the audit connection is open afterwards.
    void StartLab(const QByteArray& labJson);

    // Servers rows as "PROVIDER/DOMAIN/SERVER dc online" in table order.
    QStringList ServerRows();
    int CountRows(const QString& table);
    // Shows the progress as the refresh action does.
    void ShowWait(bool cancelAllowed = true);

    QString home;
    ScriptedProgress progress;
    std::unique_ptr<platform::lab::LabNetwork> lab;
    std::unique_ptr<store::TConnectionDM> connection;
    std::unique_ptr<engine::TDataDM> dataDM;
};

} // namespace velmora::test
