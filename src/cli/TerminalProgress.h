#pragma once
// Progress on a terminal: headings go to the error stream, Ctrl+C acts as Cancel. Ctrl+C
// while Cancel is disabled says so; a second one then ends the program at once.

#include "engine/Progress.h"

#include <QTextStream>

namespace velmora::cli {

class TerminalProgress : public engine::ProgressBase
{
public:
    explicit TerminalProgress(QTextStream& err, bool quiet = false);
    ~TerminalProgress() override;

    void ProcessMessages() override;
    // A Ctrl+C is a signal, not a queued message: it counts as soon as it has arrived.
    bool WaitCancelled() const override;

protected:
    void OnCaption(const QString& text) override;
    void OnHeading(const QString& text) override;
    void OnTimeRemaining(const QString& text) override;

private:
    void PollInterrupts();
    QTextStream& m_err;
    bool m_quiet;
    int m_seenInterrupts = 0;
};

} // namespace velmora::cli
