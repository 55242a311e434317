#include "cli/TerminalProgress.h"

#include <atomic>
#include <csignal>

namespace velmora::cli {

namespace {
std::atomic<int> g_interrupts{0};

extern "C" void OnInterrupt(int)
{
    g_interrupts.fetch_add(1);
}
} // namespace

TerminalProgress::TerminalProgress(QTextStream& err, bool quiet) : m_err(err), m_quiet(quiet)
{
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

TerminalProgress::~TerminalProgress()
{
    std::signal(SIGINT, SIG_DFL);
}

void TerminalProgress::ProcessMessages()
{
    ProgressBase::ProcessMessages();
    PollInterrupts();
}

bool TerminalProgress::WaitCancelled() const
{
    const_cast<TerminalProgress*>(this)->PollInterrupts();
    return ProgressBase::WaitCancelled();
}

void TerminalProgress::PollInterrupts()
{
    const int interrupts = g_interrupts.load();
    if (interrupts == m_seenInterrupts)
        return;
    m_seenInterrupts = interrupts;
    if (CancelEnabled()) {
        ClickCancel();
        return;
    }
    if (WaitCancelled())
        return;
    m_err << "Cancel is not possible at this step; press Ctrl+C again to stop at once\n";
    m_err.flush();
    std::signal(SIGINT, SIG_DFL);
}

void TerminalProgress::OnCaption(const QString& text)
{
    if (!m_quiet && !text.isEmpty()) {
        m_err << text << '\n';
        m_err.flush();
    }
}

void TerminalProgress::OnHeading(const QString& text)
{
    if (!m_quiet && !text.isEmpty()) {
        m_err << "  " << text << '\n';
        m_err.flush();
    }
}

void TerminalProgress::OnTimeRemaining(const QString& text)
{
    if (!text.isEmpty()) {
        m_err << text << '\n';
        m_err.flush();
    }
}

} // namespace velmora::cli
