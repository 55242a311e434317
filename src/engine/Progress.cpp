#include "engine/Progress.h"

#include "applib/Exceptions.h"

#include <QCoreApplication>

namespace velmora::engine {

void ProgressBase::ShowWait(const WaitOptions& options)
{
    if (!m_shown) {
        m_cancelled = false;
        m_shown = true;
        m_cancelAllowed = options.cancelAllowed;
        m_cancelEnabled = options.cancelAllowed;
        OnShown();
    }
    m_caption = options.caption;
    m_heading = options.heading;
    m_timeRemaining = options.lowerText;
    OnCaption(m_caption);
    OnHeading(m_heading);
    OnTimeRemaining(m_timeRemaining);
}

void ProgressBase::CloseWait()
{
    if (!m_shown)
        return;
    m_shown = false;
    OnClosed();
}

void ProgressBase::RequireShown() const
{
    if (!m_shown)
        RaiseErrorMessage(QStringLiteral("WaitAVIForm must be shown first"));
}

void ProgressBase::SetWaitCaption(const QString& text)
{
    RequireShown();
    m_caption = text;
    OnCaption(text);
}

void ProgressBase::SetWaitHeading(const QString& text)
{
    RequireShown();
    m_heading = text;
    OnHeading(text);
}

void ProgressBase::SetWaitCancelEnabled(bool enabled)
{
    RequireShown();
    m_cancelEnabled = enabled;
    OnCancelEnabled(enabled);
}

void ProgressBase::SetWaitTimeRemaining(const QString& text)
{
    RequireShown();
    m_timeRemaining = text;
    OnTimeRemaining(text);
}

void ProgressBase::ProcessMessages()
{
    QCoreApplication::processEvents();
}

void ProgressBase::Cancel()
{
    m_cancelled = true;
    m_cancelEnabled = false;
    OnCancelEnabled(false);
    SetWaitTimeRemaining(QStringLiteral("Process cancelled, may take several minutes..."));
}

void ProgressBase::ClickCancel()
{
    if (CancelEnabled())
        Cancel();
}

void ProgressBase::CloseRequested()
{
    if (CancelAllowed())
        Cancel();
}

} // namespace velmora::engine
