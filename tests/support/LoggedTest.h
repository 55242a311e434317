#pragma once
// A test with its own program log in a temporary folder, an empty last-error store, and
// lab networks read from tests/data.

#include "applib/Log.h"
#include "platform/lab/LabNetwork.h"
#include "support/QtPrinters.h"

#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace velmora::test {

class LoggedTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // The log's lines without CR LF; empty when nothing was logged.
    QStringList LogLines() const;
    void ClearLog();

    // A lab file of tests/data; nullptr (with the reason added as a test failure) when it
    // cannot be read.
    static std::unique_ptr<platform::lab::LabNetwork> OpenLab(const char* fileName);

    QTemporaryDir dir;
    TDfxLog log;
};

} // namespace velmora::test
