// COMDLG32's Open dialog on QFileDialog.
#include <QFile>
#include <QFileDialog>

#include <algorithm>

#include "hooks.h"
#include "internal.h"
#include "text.h"

namespace exelore_qt {

QStringList QtFilters(LPCWSTR filter) {
  QStringList filters;
  while (filter != nullptr && *filter != 0) {
    const QString description = QString::fromUtf16(filter);
    filter += description.size() + 1;
    if (*filter == 0) break;
    const QString patterns = QString::fromUtf16(filter);
    filter += patterns.size() + 1;
    filters << QStringLiteral("%1 (%2)").arg(description, QString(patterns).replace(u';', u' '));
  }
  return filters;
}

// GetOpenFileNameW (Microsoft documentation of OPENFILENAMEW): nFilterIndex
// is 1-based, 0 meaning the first pair when there is no custom filter;
// OFN_FILEMUSTEXIST accepts only existing files. On OK the path goes into
// lpstrFile when it fits in nMaxFile units with its NUL (else the call
// fails), with nFileOffset and nFileExtension pointing at the name and the
// extension; Cancel returns 0 and changes nothing.
BOOL WINAPI GetOpenFileNameWImpl(LPOPENFILENAMEW lpofn) {
  QWidget* owner = nullptr;
  if (lpofn->hwndOwner != nullptr) {
    Window* window = FromHandle(lpofn->hwndOwner);
    if (window == nullptr) return FALSE;
    owner = window->widget;
  }
  const QStringList filters = QtFilters(lpofn->lpstrFilter);
  const bool must_exist = (lpofn->Flags & OFN_FILEMUSTEXIST) != 0;
  const qsizetype index = lpofn->nFilterIndex == 0 ? 0 : lpofn->nFilterIndex - 1;

  std::u16string path;
  const FileChoice choice = ChooseFileInstead(filters.join(QStringLiteral(";;")), must_exist, path);
  if (choice == FileChoice::kCancelled) return FALSE;
  if (choice == FileChoice::kShowDialog) {
    QFileDialog dialog(owner,
                       lpofn->lpstrTitle ? FromWide(lpofn->lpstrTitle) : QStringLiteral("Open"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(must_exist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // Patterns match names whatever their case, as Windows' Open dialog
    // matches them ("*.exe" lists SETUP.EXE). Qt's own dialog compiles its
    // patterns with the case sensitivity of its QDir filter, so that is set
    // first; the desktops' dialogs Qt may hand the patterns to instead (GTK's
    // globs) match case-sensitively, with no way to ask otherwise.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    dialog.setNameFilters(filters);
    if (index < filters.size()) dialog.selectNameFilter(filters[index]);
    if (lpofn->lpstrInitialDir != nullptr) dialog.setDirectory(FromWide(lpofn->lpstrInitialDir));
    if (lpofn->lpstrFile != nullptr && lpofn->lpstrFile[0] != 0) {
      dialog.selectFile(FromWide(lpofn->lpstrFile));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return FALSE;
    // Through the file-system bytes, so a name that is not UTF-8 maps the way
    // every other path of the stand-in does.
    const QByteArray bytes = QFile::encodeName(dialog.selectedFiles().first());
    path = exelore_posix::BytesToUtf16(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  }

  if (lpofn->lpstrFile == nullptr || path.size() + 1 > lpofn->nMaxFile) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::copy(path.begin(), path.end(), lpofn->lpstrFile);
  lpofn->lpstrFile[path.size()] = 0;
  const auto slash = path.find_last_of(u'/');
  const std::size_t name = slash == std::u16string::npos ? 0 : slash + 1;
  const auto dot = path.find_last_of(u'.');
  lpofn->nFileOffset = static_cast<WORD>(name);
  lpofn->nFileExtension =
      static_cast<WORD>(dot == std::u16string::npos || dot < name ? 0 : dot + 1);
  if (lpofn->lpstrFileTitle != nullptr && lpofn->nMaxFileTitle > path.size() - name) {
    std::copy(path.begin() + static_cast<std::ptrdiff_t>(name), path.end(), lpofn->lpstrFileTitle);
    lpofn->lpstrFileTitle[path.size() - name] = 0;
  }
  return TRUE;
}

}  // namespace exelore_qt
