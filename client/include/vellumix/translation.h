// The translations of the update client's texts (UpdateFailure::userText(),
// UpdateOutcome::userText()). Their source texts are English; a translation, built into the
// library, is loaded into a QTranslator that the application installs:
//
//     QTranslator updateTexts;
//     if (vellumix::loadTranslation(updateTexts, QLocale()))
//         QCoreApplication::installTranslator(&updateTexts);
//
// The texts are translated each time they are asked for, so installing or removing the translator
// later changes the texts from then on. The same translations are installed as .qm files under
// share/vellumix/translations (VellumixUpdateClient_TRANSLATIONS_DIR of the package), named
// vellumix_<language>.qm, for an application that deploys its translations as files.
#pragma once

#include <QLocale>
#include <QStringList>

class QTranslator;

namespace vellumix {

// Loads the translation of the client's texts that best fits `locale` (its UI languages, in
// order, as QTranslator::load looks them up) into `translator`. False when there is none for it,
// as for English, which needs none: the texts stay English.
bool loadTranslation(QTranslator &translator, const QLocale &locale = QLocale());

// The languages the library carries a translation for ("zh_CN", ...).
QStringList translationLanguages();

} // namespace vellumix
