#pragma once
// Progress and cancel for long operations. The engine drives it; the desktop program shows
// a window, the command-line program writes to the terminal. Cancel only sets a flag that
// the running operation reads at its own check points. Main thread only.

#include <QString>

namespace velmora::engine {

struct WaitOptions
{
    QString caption;
    QString heading;
    QString details;
    QString lowerText;
    int animation = 5; // the copy-file animation
    bool disableOtherWindows = true;
    bool progressBarVisible = false;
    bool cancelAllowed = true;
};

class IProgress
{
public:
    virtual ~IProgress() = default;

    // Shows the progress; when already shown, only replaces the texts (the cancelled flag
    // is kept). Showing anew resets the cancelled flag.
    virtual void ShowWait(const WaitOptions& options) = 0;
    virtual void CloseWait() = 0;
    virtual bool Shown() const = 0;

    // Raise EErrorMessageException "WaitAVIForm must be shown first" when not shown.
    virtual void SetWaitCaption(const QString& text) = 0;
    virtual void SetWaitHeading(const QString& text) = 0;
    virtual void SetWaitCancelEnabled(bool enabled) = 0;
    virtual void SetWaitTimeRemaining(const QString& text) = 0;

    // True once Cancel was pressed since the progress was last shown anew.
    virtual bool WaitCancelled() const = 0;

    // Lets the user interface handle what is pending (repaints, the Cancel click).
    virtual void ProcessMessages() = 0;
};

// The common state: shown or not, texts, cancel flag and button. Presentation is left to
// the subclasses' hooks.
class ProgressBase : public IProgress
{
public:
    void ShowWait(const WaitOptions& options) override;
    void CloseWait() override;
    bool Shown() const override { return m_shown; }
    void SetWaitCaption(const QString& text) override;
    void SetWaitHeading(const QString& text) override;
    void SetWaitCancelEnabled(bool enabled) override;
    void SetWaitTimeRemaining(const QString& text) override;
    bool WaitCancelled() const override { return m_cancelled; }
    void ProcessMessages() override;

    bool CancelEnabled() const { return m_shown && m_cancelEnabled; }
    bool CancelAllowed() const { return m_shown && m_cancelAllowed; }
    const QString& Caption() const { return m_caption; }
    const QString& Heading() const { return m_heading; }
    const QString& TimeRemaining() const { return m_timeRemaining; }

    // The Cancel button: sets the flag, disables the button and says so in the lower line.
    // Does nothing while the button is disabled.
    void ClickCancel();
    // Closing the window (title-bar close, Alt+F4): acts as a click even while the button
    // is disabled, unless the progress was shown with cancel not allowed.
    void CloseRequested();

protected:
    virtual void OnShown() {}
    virtual void OnClosed() {}
    virtual void OnCaption(const QString&) {}
    virtual void OnHeading(const QString&) {}
    virtual void OnCancelEnabled(bool) {}
    virtual void OnTimeRemaining(const QString&) {}

private:
    void RequireShown() const;
    void Cancel();
    bool m_shown = false;
    bool m_cancelled = false;
    bool m_cancelEnabled = false;
    bool m_cancelAllowed = false;
    QString m_caption;
    QString m_heading;
    QString m_timeRemaining;
};

} // namespace velmora::engine
