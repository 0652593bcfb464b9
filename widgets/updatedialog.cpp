#include "updatedialog.h"

#include "widgettexts.h"

#include <vellumix/updateclient.h>

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QVBoxLayout>

#include <cmath>

namespace vellumix {

namespace {

using WidgetMsg::text;

// The rate is measured over the last seconds, so that a stall shows soon and a burst does not
// promise too much.
constexpr qint64 kRateWindowMs = 5000;

QLabel *headingLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.2);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel *textLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setWordWrap(true);
    // Everything shown comes from a release or a failure: never read as rich text.
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

// A label's text as a screen reader says it: without its mnemonic ("&Install", "安装(&I)") and a
// final colon.
QString withoutMnemonic(QString label)
{
    static const QRegularExpression mnemonic(QStringLiteral("\\(&\\w\\)|&(?=\\w)"));
    label.remove(mnemonic);
    while (label.endsWith(u':') || label.endsWith(u'\uff1a'))
        label.chop(1);
    return label.trimmed();
}

QPushButton *button(const char *source, QWidget *parent)
{
    auto *result = new QPushButton(text(source), parent);
    result->setAccessibleName(withoutMnemonic(text(source)));
    result->setAutoDefault(false);
    return result;
}

// A page's row of buttons: `left` alone at the start (may be null), the others at the end.
QHBoxLayout *buttonRow(QWidget *left, std::initializer_list<QWidget *> right)
{
    auto *row = new QHBoxLayout;
    if (left)
        row->addWidget(left);
    row->addStretch(1);
    for (QWidget *each : right)
        row->addWidget(each);
    return row;
}

QLabel *iconLabel(QStyle::StandardPixmap which, QWidget *parent)
{
    auto *label = new QLabel(parent);
    const int size = parent->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, parent);
    label->setPixmap(parent->style()->standardIcon(which, nullptr, parent)
                         .pixmap(QSize(size, size), parent->devicePixelRatioF()));
    label->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    return label;
}

// "1:05" or "1:02:05".
QString durationText(qint64 seconds)
{
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const qint64 rest = seconds % 60;
    if (hours > 0) {
        return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(rest, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1:%2").arg(minutes).arg(rest, 2, 10, QLatin1Char('0'));
}

QString sizeText(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

} // namespace

UpdateDialog::UpdateDialog(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(text(WidgetMsg::windowTitle));
    setAccessibleName(text(WidgetMsg::windowTitle));
    // The pages in the order of Page; only the one shown takes part in the layout, so the window
    // takes the size of that page (a stacked widget would keep the height of the tallest).
    m_pages = {makeOfferPage(), makeCheckingPage(), makeDownloadPage(), makeReadyPage(),
               makeMessagePage()};
    auto *layout = new QVBoxLayout(this);
    for (QWidget *page : std::as_const(m_pages)) {
        page->hide();
        layout->addWidget(page);
    }
    setMinimumWidth(fontMetrics().averageCharWidth() * 72);
}

UpdateDialog::Page UpdateDialog::page() const
{
    return m_page;
}

QWidget *UpdateDialog::makeOfferPage()
{
    auto *page = new QWidget(this);
    m_offerHeading = headingLabel(page);
    m_offerText = textLabel(page);
    m_offerCritical = textLabel(page);
    m_offerCritical->setText(text(WidgetMsg::offerCritical));
    auto *notesLabel = new QLabel(text(WidgetMsg::releaseNotes), page);
    // Plain text only: notes are never HTML that could load or run anything.
    m_notes = new QPlainTextEdit(page);
    m_notes->setReadOnly(true);
    m_notes->setAccessibleName(withoutMnemonic(text(WidgetMsg::releaseNotes)));
    m_notes->setTabChangesFocus(true);
    m_notes->setMinimumHeight(fontMetrics().lineSpacing() * 8);
    notesLabel->setBuddy(m_notes);
    m_size = textLabel(page);
    m_install = button(WidgetMsg::installUpdate, page);
    m_remind = button(WidgetMsg::remindLater, page);
    m_skip = button(WidgetMsg::skipVersion, page);
    connect(m_install, &QPushButton::clicked, this, &UpdateDialog::installRequested);
    connect(m_remind, &QPushButton::clicked, this, &UpdateDialog::remindRequested);
    connect(m_skip, &QPushButton::clicked, this, &UpdateDialog::skipRequested);

    auto *texts = new QVBoxLayout;
    texts->addWidget(m_offerHeading);
    texts->addWidget(m_offerText);
    texts->addWidget(m_offerCritical);
    texts->addSpacing(6);
    texts->addWidget(notesLabel);
    texts->addWidget(m_notes, 1);
    texts->addWidget(m_size);
    auto *top = new QHBoxLayout;
    top->addWidget(iconLabel(QStyle::SP_MessageBoxInformation, page));
    top->addLayout(texts, 1);
    auto *buttons = buttonRow(m_skip, {m_remind, m_install});
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top, 1);
    layout->addLayout(buttons);
    setTabOrder(m_install, m_remind);
    setTabOrder(m_remind, m_skip);
    setTabOrder(m_skip, m_notes);
    return page;
}

QWidget *UpdateDialog::makeCheckingPage()
{
    auto *page = new QWidget(this);
    auto *heading = headingLabel(page);
    heading->setText(text(WidgetMsg::checkingHeading));
    auto *busy = new QProgressBar(page);
    busy->setRange(0, 0);
    busy->setAccessibleName(text(WidgetMsg::checkingHeading));
    m_checkingCancel = button(WidgetMsg::cancel, page);
    connect(m_checkingCancel, &QPushButton::clicked, this, &UpdateDialog::cancelRequested);
    auto *buttons = buttonRow(nullptr, {m_checkingCancel});
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(heading);
    layout->addWidget(busy);
    layout->addStretch(1);
    layout->addLayout(buttons);
    return page;
}

QWidget *UpdateDialog::makeDownloadPage()
{
    auto *page = new QWidget(this);
    m_downloadHeading = headingLabel(page);
    m_progress = new QProgressBar(page);
    m_progress->setRange(0, 1000);
    m_progress->setTextVisible(false);
    m_progress->setAccessibleName(text(WidgetMsg::downloadProgressName));
    m_progressText = textLabel(page);
    m_downloadCancel = button(WidgetMsg::cancel, page);
    connect(m_downloadCancel, &QPushButton::clicked, this, &UpdateDialog::cancelRequested);
    auto *buttons = buttonRow(nullptr, {m_downloadCancel});
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_downloadHeading);
    layout->addWidget(m_progress);
    layout->addWidget(m_progressText);
    layout->addStretch(1);
    layout->addLayout(buttons);
    return page;
}

QWidget *UpdateDialog::makeReadyPage()
{
    auto *page = new QWidget(this);
    m_readyHeading = headingLabel(page);
    m_readyText = textLabel(page);
    m_restart = button(WidgetMsg::restartNow, page);
    m_installOnQuit = button(WidgetMsg::installOnQuit, page);
    connect(m_restart, &QPushButton::clicked, this, &UpdateDialog::restartRequested);
    connect(m_installOnQuit, &QPushButton::clicked, this, &UpdateDialog::installOnQuitRequested);
    auto *texts = new QVBoxLayout;
    texts->addWidget(m_readyHeading);
    texts->addWidget(m_readyText);
    texts->addStretch(1);
    auto *top = new QHBoxLayout;
    top->addWidget(iconLabel(QStyle::SP_DialogApplyButton, page));
    top->addLayout(texts, 1);
    auto *buttons = buttonRow(nullptr, {m_installOnQuit, m_restart});
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top, 1);
    layout->addLayout(buttons);
    return page;
}

QWidget *UpdateDialog::makeMessagePage()
{
    auto *page = new QWidget(this);
    m_messageIcon = new QLabel(page);
    m_messageIcon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    m_messageHeading = headingLabel(page);
    m_messageText = textLabel(page);
    m_messageOk = button(WidgetMsg::ok, page);
    m_messageRetry = button(WidgetMsg::tryAgain, page);
    connect(m_messageOk, &QPushButton::clicked, this, [this] {
        hide();
        emit dismissed();
    });
    connect(m_messageRetry, &QPushButton::clicked, this, &UpdateDialog::retryRequested);
    auto *texts = new QVBoxLayout;
    texts->addWidget(m_messageHeading);
    texts->addWidget(m_messageText);
    texts->addStretch(1);
    auto *top = new QHBoxLayout;
    top->addWidget(m_messageIcon);
    top->addLayout(texts, 1);
    auto *buttons = buttonRow(nullptr, {m_messageOk, m_messageRetry});
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top, 1);
    layout->addLayout(buttons);
    return page;
}

void UpdateDialog::showPage(Page page, QPushButton *defaultButton, bool activate)
{
    m_page = page;
    for (int i = 0; i < m_pages.size(); ++i)
        m_pages.at(i)->setVisible(i == int(page));
    layout()->activate();
    // Return presses the page's default button; no other button takes that role meanwhile.
    for (QPushButton *each : findChildren<QPushButton *>())
        each->setDefault(each == defaultButton);
    adjustSize();
    if (defaultButton)
        defaultButton->setFocus(Qt::OtherFocusReason);
    setAttribute(Qt::WA_ShowWithoutActivating, !activate);
    if (!isVisible())
        show();
    if (activate) {
        raise();
        activateWindow();
    }
}

void UpdateDialog::showOffer(const QString &application, const QString &version,
                             const QString &installed, const QString &notes, qint64 downloadBytes,
                             bool critical, bool activate)
{
    m_offerHeading->setText(text(WidgetMsg::offerHeading).arg(application));
    m_offerText->setText(text(WidgetMsg::offerText).arg(application, version, installed));
    m_offerCritical->setVisible(critical);
    m_notes->setPlainText(notes.trimmed().isEmpty() ? text(WidgetMsg::noReleaseNotes) : notes);
    m_size->setText(text(WidgetMsg::downloadSize).arg(sizeText(downloadBytes)));
    // A critical release cannot be skipped: it fixes what must not wait.
    m_skip->setVisible(!critical);
    showPage(Page::Offer, m_install, activate);
}

void UpdateDialog::showChecking()
{
    showPage(Page::Checking, m_checkingCancel);
}

void UpdateDialog::showDownload(const QString &application, const QString &version)
{
    m_downloadHeading->setText(text(WidgetMsg::downloadingHeading).arg(application, version));
    m_progress->setValue(0);
    m_progressText->setText(text(WidgetMsg::downloadStarting));
    m_samples.clear();
    m_clock.start();
    showPage(Page::Download, m_downloadCancel);
}

void UpdateDialog::setProgress(const DownloadProgress &progress)
{
    const qint64 now = m_clock.elapsed();
    m_samples.append({now, progress.bytesDone});
    while (m_samples.size() > 2 && now - m_samples.at(1).first >= kRateWindowMs)
        m_samples.removeFirst();
    double rate = 0;
    const qint64 span = now - m_samples.first().first;
    if (span >= 500)
        rate = double(progress.bytesDone - m_samples.first().second) * 1000.0 / double(span);
    const qint64 total = std::max<qint64>(progress.bytesTotal, progress.bytesDone);
    m_progress->setValue(total > 0 ? int(progress.bytesDone * 1000 / total) : 0);
    m_progressText->setText(progressText(progress.bytesDone, total, rate));
}

QString UpdateDialog::progressText(qint64 done, qint64 total, double bytesPerSecond)
{
    if (bytesPerSecond < 1 || done >= total)
        return text(WidgetMsg::downloadProgress).arg(sizeText(done), sizeText(total));
    const auto seconds = qint64(std::ceil(double(total - done) / bytesPerSecond));
    return text(WidgetMsg::downloadProgressLeft)
        .arg(sizeText(done), sizeText(total), sizeText(qint64(bytesPerSecond)), durationText(seconds));
}

void UpdateDialog::showReady(const QString &application, const QString &version)
{
    m_readyHeading->setText(text(WidgetMsg::readyHeading).arg(application, version));
    m_readyText->setText(text(WidgetMsg::readyText).arg(application));
    showPage(Page::Ready, m_restart);
}

void UpdateDialog::showMessage(Tone tone, const QString &heading, const QString &message,
                               bool retry)
{
    const QStyle::StandardPixmap which =
        tone == Tone::Warning ? QStyle::SP_MessageBoxWarning : QStyle::SP_MessageBoxInformation;
    const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    m_messageIcon->setPixmap(
        style()->standardIcon(which, nullptr, this).pixmap(QSize(size, size), devicePixelRatioF()));
    m_messageHeading->setText(heading);
    m_messageText->setText(message);
    m_messageText->setVisible(!message.isEmpty());
    m_retry = retry;
    const QString okText = retry ? text(WidgetMsg::close) : text(WidgetMsg::ok);
    m_messageOk->setText(okText);
    m_messageOk->setAccessibleName(withoutMnemonic(okText));
    m_messageRetry->setVisible(retry);
    showPage(Page::Message, retry ? m_messageRetry : m_messageOk);
}

void UpdateDialog::reject()
{
    switch (m_page) {
    case Page::Offer:
        emit remindRequested();
        break;
    case Page::Checking:
    case Page::Download:
        emit cancelRequested();
        break;
    case Page::Ready:
        emit installOnQuitRequested();
        break;
    case Page::Message:
        hide();
        emit dismissed();
        break;
    }
}

} // namespace vellumix
