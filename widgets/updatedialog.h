// The "Software Update" window: one dialog whose page follows the update (the offer, an explicit
// check on its way, the download, ready to install, a message). It shows and asks; what its
// buttons mean is the controller's (softwareupdate.cpp).
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QList>
#include <QPair>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace vellumix {

struct DownloadProgress;

class UpdateDialog : public QDialog
{
    Q_OBJECT

public:
    enum class Page { Offer, Checking, Download, Ready, Message };
    enum class Tone { Information, Warning };

    explicit UpdateDialog(QWidget *parent = nullptr);

    Page page() const;
    // The offer of `version` over `installed`: its notes as plain text, the bytes it takes.
    // `activate` false: shown without taking the keyboard from the application.
    void showOffer(const QString &application, const QString &version, const QString &installed,
                   const QString &notes, qint64 downloadBytes, bool critical, bool activate = true);
    void showChecking();
    void showDownload(const QString &application, const QString &version);
    void setProgress(const DownloadProgress &progress);
    void showReady(const QString &application, const QString &version);
    // A heading and a text with one button, "OK"; with `retry`, "Try Again" beside "Close".
    void showMessage(Tone tone, const QString &heading, const QString &text, bool retry = false);

    // The text the progress line shows for `done` of `total` bytes at `bytesPerSecond` (0:
    // unknown, no time left shown).
    static QString progressText(qint64 done, qint64 total, double bytesPerSecond);

Q_SIGNALS:
    void installRequested();
    void remindRequested();
    void skipRequested();
    void cancelRequested();
    void restartRequested();
    void installOnQuitRequested();
    void retryRequested();
    void dismissed(); // a message or a failure was closed

protected:
    // Escape and the window's close button: what the page's gentlest button does.
    void reject() override;

private:
    void showPage(Page page, QPushButton *defaultButton, bool activate = true);
    QWidget *makeOfferPage();
    QWidget *makeCheckingPage();
    QWidget *makeDownloadPage();
    QWidget *makeReadyPage();
    QWidget *makeMessagePage();

    QList<QWidget *> m_pages;
    Page m_page = Page::Message;
    bool m_retry = false;

    QLabel *m_offerHeading = nullptr;
    QLabel *m_offerText = nullptr;
    QLabel *m_offerCritical = nullptr;
    QPlainTextEdit *m_notes = nullptr;
    QLabel *m_size = nullptr;
    QPushButton *m_install = nullptr;
    QPushButton *m_remind = nullptr;
    QPushButton *m_skip = nullptr;

    QPushButton *m_checkingCancel = nullptr;

    QLabel *m_downloadHeading = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_progressText = nullptr;
    QPushButton *m_downloadCancel = nullptr;
    QElapsedTimer m_clock;
    QList<QPair<qint64, qint64>> m_samples; // (ms since the download began, bytes done)

    QLabel *m_readyHeading = nullptr;
    QLabel *m_readyText = nullptr;
    QPushButton *m_restart = nullptr;
    QPushButton *m_installOnQuit = nullptr;

    QLabel *m_messageIcon = nullptr;
    QLabel *m_messageHeading = nullptr;
    QLabel *m_messageText = nullptr;
    QPushButton *m_messageOk = nullptr;
    QPushButton *m_messageRetry = nullptr;
};

} // namespace vellumix
