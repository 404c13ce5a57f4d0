// The simulated world: modal dialogs from templates, their controls, message
// boxes, the file-open dialog, timers, painting, icons and bitmaps from the
// program's resources, and the scripted user.
//
// The behaviour follows the Win32 contracts of these calls (learn.microsoft.com)
// and, where those are silent, Wine's conformance tests of the dialog manager:
//   - DialogBoxParamW disables the owner, sends WM_SETFONT (shell-font
//     templates) and WM_INITDIALOG, and runs its loop until EndDialog; the
//     dialog then receives WM_DESTROY and WM_NCDESTROY before the call returns
//     EndDialog's result. An invalid owner gives 0, any other failure -1.
//   - A dialog that names a control class nobody registered cannot be made:
//     the progress bar exists only after InitCommonControlsEx with its class.
//   - MessageBoxW and GetOpenFileNameW are modal: they disable the owner and
//     run their own message loop, so the thread's queued messages, timers and
//     sent messages are handled while they are up.
//   - The dialog manager clears DWLP_MSGRESULT before each call of the dialog
//     procedure and turns WM_CLOSE into a posted WM_COMMAND IDCANCEL.
#include "sim/world_impl.h"

namespace kv27::sim {

namespace {
HMODULE const kModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x400000));
HDC const kPaintDc = reinterpret_cast<HDC>(static_cast<std::uintptr_t>(0x5DC0));

// Window class names are case-insensitive, and resource compilers may store
// them upper-cased: the predefined and common-control classes get one spelling.
std::u16string CanonicalClass(const std::u16string& name) {
  for (const char16_t* known : {u"Button", u"Edit", u"Static", u"ListBox", u"ComboBox", u"msctls_progress32"})
    if (FoldCase(name) == FoldCase(known)) return known;
  return name;
}

std::optional<WORD> ResourceId(LPCWSTR name) {
  if (!IS_INTRESOURCE(name)) return std::nullopt;
  return static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
}
}  // namespace

// ------------------------------------------------------------------ resources

// A template looked up without a language (DialogBoxParamW goes through
// FindResourceW, which asks for the neutral language): the resource loader
// takes the user's UI language first and falls back on what the module has,
// here the first in the file.
std::optional<DialogTemplate> World::Impl::FindDialogTemplate(WORD id) {
  if (auto it = dialogTemplates.find(id); it != dialogTemplates.end()) return it->second;
  if (!resources) return std::nullopt;
  if (auto own = resources->Dialog(id, uiLanguage)) return own;
  return resources->Dialog(id);
}

bool World::Impl::HasResource(WORD type, WORD id) {
  if (type == kRtBitmap && bitmapResources.count(id)) return true;
  if (type == kRtGroupIcon && iconResources.count(id)) return true;
  return resources && resources->Find(type, id) != nullptr;
}

WORD World::Impl::ResourceOf(const void* gdiObject) {
  auto* e = FindAny(gdiObject);
  return e && (e->kind == Kind::Bitmap || e->kind == Kind::Icon) ? e->resource : 0;
}

void World::SetResources(const ResourceSet& resources) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->resources = resources;
  impl_->resourceSets.push_back(resources);
}
void World::SetUserDefaultUILanguage(LANGID language) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->uiLanguage = language;
}

LANGID World::GetUserDefaultUILanguage() {
  std::lock_guard<std::mutex> lk(mutex_);
  return impl_->uiLanguage;
}

// FindResourceExW: the resource of exactly this type, name and language. As
// documented, the neutral language (MAKELANGID(LANG_NEUTRAL,
// SUBLANG_NEUTRAL)) stands for the calling thread's language, which here is
// the user's UI language (no thread sets its own). The loader's fallbacks for
// a language the module lacks are the language with the neutral sublanguage,
// then the neutral language; otherwise ERROR_RESOURCE_LANG_NOT_FOUND, as
// ERROR_RESOURCE_TYPE_NOT_FOUND / _NAME_NOT_FOUND when the type / name is
// missing in every language. Resources are named by ordinal here: a string
// type or name is not found. A null module is the process's own.
HRSRC World::FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, LANGID language) {
  std::lock_guard<std::mutex> lk(mutex_);
  if ((module != nullptr && module != kModule) || impl_->resourceSets.empty()) {
    t_lastError = ERROR_RESOURCE_DATA_NOT_FOUND;
    return nullptr;
  }
  const ResourceSet& set = impl_->resourceSets.back();
  auto typeId = ResourceId(type);
  auto nameId = ResourceId(name);
  bool typeSeen = false, nameSeen = false;
  for (const ResourceEntry& e : set.entries()) {
    if (!typeId || !e.typeName.empty() || e.typeOrdinal != *typeId) continue;
    typeSeen = true;
    if (nameId && e.name.empty() && e.nameOrdinal == *nameId) nameSeen = true;
  }
  if (!typeSeen || !nameSeen) {
    t_lastError = typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
  }
  const LANGID wanted = language == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL) ? impl_->uiLanguage : language;
  for (LANGID candidate :
       {wanted, MAKELANGID(PRIMARYLANGID(wanted), SUBLANG_NEUTRAL), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)}) {
    if (const ResourceEntry* e = set.Find(*typeId, *nameId, candidate))
      return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(e));
  }
  t_lastError = ERROR_RESOURCE_LANG_NOT_FOUND;
  return nullptr;
}

namespace {
// The entry behind a handle FindResourceExW gave, in any set the world holds.
const ResourceEntry* EntryOf(const std::deque<ResourceSet>& sets, HRSRC resource) {
  for (const ResourceSet& set : sets)
    for (const ResourceEntry& e : set.entries())
      if (reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(&e)) == resource) return &e;
  return nullptr;
}
}  // namespace

// LoadResource / SizeofResource: the data and size of a resource FindResourceExW
// found; anything else is refused (null / 0, ERROR_RESOURCE_DATA_NOT_FOUND),
// where Windows would read whatever the handle points at.
HGLOBAL World::LoadResource(HMODULE module, HRSRC resource) {
  std::lock_guard<std::mutex> lk(mutex_);
  const ResourceEntry* e = (module == nullptr || module == kModule) ? EntryOf(impl_->resourceSets, resource) : nullptr;
  if (!e || e->data.empty()) {
    t_lastError = ERROR_RESOURCE_DATA_NOT_FOUND;
    return nullptr;
  }
  return const_cast<std::uint8_t*>(e->data.data());
}
DWORD World::SizeofResource(HMODULE module, HRSRC resource) {
  std::lock_guard<std::mutex> lk(mutex_);
  const ResourceEntry* e = (module == nullptr || module == kModule) ? EntryOf(impl_->resourceSets, resource) : nullptr;
  if (!e) {
    t_lastError = ERROR_RESOURCE_DATA_NOT_FOUND;
    return 0;
  }
  return static_cast<DWORD>(e->data.size());
}
// LockResource only turns LoadResource's handle into the pointer to the first byte.
LPVOID World::LockResource(HGLOBAL data) { return data; }
void World::AddDialogTemplate(WORD id, DialogTemplate dialog) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->dialogTemplates[id] = std::move(dialog);
}
void World::AddBitmapResource(WORD id) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->bitmapResources.insert(id);
}
void World::AddIconResource(WORD id) {
  std::lock_guard<std::mutex> lk(mutex_);
  impl_->iconResources.insert(id);
}

HMODULE World::GetModuleHandleW(LPCWSTR name) {
  if (name != nullptr) {
    t_lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  return kModule;
}

HICON World::LoadIconW(HMODULE instance, LPCWSTR name) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto id = ResourceId(name);
  if (instance != kModule || !id || !impl_->HasResource(kRtGroupIcon, *id)) {
    t_lastError = ERROR_RESOURCE_NAME_NOT_FOUND;
    return nullptr;
  }
  // Icons loaded so are shared: the same handle every time.
  if (auto it = impl_->icons.find(*id); it != impl_->icons.end()) return it->second;
  Impl::Entry e{Impl::Kind::Icon};
  e.resource = *id;
  auto icon = static_cast<HICON>(impl_->Add(std::move(e)));
  impl_->icons[*id] = icon;
  return icon;
}

HBITMAP World::LoadBitmapW(HMODULE instance, LPCWSTR name) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto id = ResourceId(name);
  if (instance != kModule || !id || !impl_->HasResource(kRtBitmap, *id)) {
    t_lastError = ERROR_RESOURCE_NAME_NOT_FOUND;
    return nullptr;
  }
  Impl::Entry e{Impl::Kind::Bitmap};
  e.resource = *id;
  return static_cast<HBITMAP>(impl_->Add(std::move(e)));
}

BOOL World::DeleteObject(HGDIOBJ object) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (!impl_->Find(object, Impl::Kind::Bitmap)) return FALSE;
  impl_->handles.erase(reinterpret_cast<std::uintptr_t>(object));
  return TRUE;
}

BOOL World::InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (!init || init->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
  impl_->commonControls |= init->dwICC;
  return TRUE;
}

// ------------------------------------------------------------------ dialogs

void World::Impl::DestroyWindowTree(std::unique_lock<std::mutex>& lk, HWND window) {
  auto w = WindowOf(window);
  if (!w) return;
  for (HWND child : std::vector<HWND>(w->children)) DestroyWindowTree(lk, child);
  if (w->ownedImage) handles.erase(reinterpret_cast<std::uintptr_t>(w->ownedImage));
  handles.erase(reinterpret_cast<std::uintptr_t>(window));
  // Its queued messages go with it.
  auto& posted = QueueOf(w->owner).posted;
  posted.erase(std::remove_if(posted.begin(), posted.end(), [&](const Posted& p) { return p.window == window; }),
               posted.end());
}

INT_PTR World::DialogBoxParamW(HMODULE instance, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("DialogBoxParamW", {})) {
    t_lastError = *f;
    return -1;
  }
  if (parent && !impl_->Find(parent, Impl::Kind::Window)) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  auto id = ResourceId(templateName);
  std::optional<DialogTemplate> tpl;
  if (instance == kModule && id) tpl = impl_->FindDialogTemplate(*id);
  if (!tpl || !proc) {
    t_lastError = tpl ? ERROR_INVALID_PARAMETER : ERROR_RESOURCE_NAME_NOT_FOUND;
    return -1;
  }
  return impl_->RunDialog(lk, std::move(*tpl), parent, proc, initParam);
}

// DialogBoxIndirectParamW: the same dialog from a template in memory. The
// dialog manager reads the template until its last control; the world reads
// it only within resource data it handed out (LockResource), where it knows
// where the bytes end, and refuses any other pointer with
// ERROR_INVALID_PARAMETER, as it refuses a template it cannot parse.
INT_PTR World::DialogBoxIndirectParamW(HMODULE instance, LPCDLGTEMPLATEW dialogTemplate, HWND parent, DLGPROC proc,
                                       LPARAM initParam) {
  std::unique_lock<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("DialogBoxIndirectParamW", {})) {
    t_lastError = *f;
    return -1;
  }
  if (parent && !impl_->Find(parent, Impl::Kind::Window)) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(dialogTemplate);
  std::optional<DialogTemplate> tpl;
  for (const ResourceSet& set : impl_->resourceSets) {
    for (const ResourceEntry& e : set.entries()) {
      const std::uint8_t* begin = e.data.data();
      if (bytes && begin && bytes >= begin && bytes < begin + e.data.size())
        tpl = ParseDialogTemplate(bytes, static_cast<std::size_t>(begin + e.data.size() - bytes));
    }
  }
  (void)instance;  // the template carries everything; the module only owns the dialog
  if (!tpl || !proc) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return -1;
  }
  return impl_->RunDialog(lk, std::move(*tpl), parent, proc, initParam);
}

INT_PTR World::Impl::RunDialog(std::unique_lock<std::mutex>& lk, DialogTemplate tpl, HWND parent, DLGPROC proc,
                               LPARAM initParam) {
  for (auto& item : tpl.items) item.className = CanonicalClass(item.className);
  for (auto& item : tpl.items) {
    if (item.className == u"msctls_progress32" && !(commonControls & ICC_PROGRESS_CLASS)) {
      t_lastError = ERROR_CANNOT_FIND_WND_CLASS;
      return -1;
    }
  }
  const auto me = std::this_thread::get_id();
  Impl::Entry de{Impl::Kind::Window};
  de.window = std::make_shared<Impl::WindowObj>();
  auto dialog = de.window;
  dialog->owner = me;
  dialog->className = u"#32770";
  dialog->text = tpl.caption;
  dialog->style = tpl.style;
  dialog->exStyle = tpl.exStyle;
  dialog->dlgProc = proc;
  dialog->parent = parent;
  HWND hwnd = static_cast<HWND>(Add(std::move(de)));
  dialog->handle = hwnd;
  HWND firstTabStop = nullptr;
  for (auto& item : tpl.items) {
    Impl::Entry ce{Impl::Kind::Window};
    ce.window = std::make_shared<Impl::WindowObj>();
    auto c = ce.window;
    c->owner = me;
    c->className = item.className;
    c->text = item.text;
    c->style = item.style;
    c->exStyle = item.exStyle;
    c->id = item.id;
    c->parent = hwnd;
    HWND ch = static_cast<HWND>(Add(std::move(ce)));
    c->handle = ch;
    dialog->children.push_back(ch);
    if (!firstTabStop && (item.style & WS_TABSTOP) && !(item.style & WS_DISABLED)) firstTabStop = ch;
    // A bitmap static loads the bitmap its template names and owns it.
    if (item.className == u"Static" && (item.style & SS_TYPEMASK) == SS_BITMAP && item.textOrdinal &&
        HasResource(kRtBitmap, item.textOrdinal)) {
      Impl::Entry be{Impl::Kind::Bitmap};
      be.resource = item.textOrdinal;
      c->ownedImage = c->image = Add(std::move(be));
    }
  }
  std::shared_ptr<Impl::WindowObj> owner = WindowOf(parent);
  const bool ownerWasEnabled = owner && !(owner->style & WS_DISABLED);
  if (owner) owner->style |= WS_DISABLED;

  if (tpl.style & DS_SETFONT) Deliver(lk, hwnd, WM_SETFONT, 0, 0);
  Deliver(lk, hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), initParam);
  // Then the dialog is shown: a template with WS_VISIBLE is shown as soon as
  // WM_INITDIALOG has returned, any other by the modal loop before it waits
  // (DialogBox: "displays the dialog box (regardless of whether the template
  // specifies the WS_VISIBLE style)"); either way WM_SHOWWINDOW (wParam TRUE)
  // comes after WM_INITDIALOG and before any queued message.
  if (!dialog->ended) Deliver(lk, hwnd, WM_SHOWWINDOW, TRUE, 0);
  const bool ok = ModalLoop(
      lk, Impl::ModalFrame{Impl::ModalKind::Dialog, hwnd}, [&] { return dialog->ended; }, std::nullopt,
      "modal dialog \"" + ToUtf8(tpl.caption) + "\"");
  const INT_PTR result = ok ? dialog->endResult : -1;
  dialog->timers.clear();
  Deliver(lk, hwnd, WM_DESTROY, 0, 0);
  Deliver(lk, hwnd, WM_NCDESTROY, 0, 0);
  DestroyWindowTree(lk, hwnd);
  if (owner && ownerWasEnabled) owner->style &= ~WS_DISABLED;
  return result;
}

BOOL World::EndDialog(HWND dialog, INT_PTR result) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto w = impl_->WindowOf(dialog);
  if (!w || !w->dlgProc) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  w->ended = true;
  w->endResult = result;
  impl_->Notify();
  return TRUE;
}

HWND World::GetDlgItem(HWND dialog, int id) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto w = impl_->WindowOf(dialog);
  if (!w) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return nullptr;
  }
  for (HWND c : w->children)
    if (auto cw = impl_->WindowOf(c); cw && cw->id == id) return c;
  t_lastError = ERROR_CONTROL_ID_NOT_FOUND;
  return nullptr;
}

// Window text goes through WM_SETTEXT / WM_GETTEXT, so it waits for a window of
// another thread like any sent message.
BOOL World::SetWindowTextW(HWND window, LPCWSTR text) {
  {
    std::lock_guard<std::mutex> lk(mutex_);
    if (!impl_->Find(window, Impl::Kind::Window)) {
      t_lastError = ERROR_INVALID_WINDOW_HANDLE;
      return FALSE;
    }
  }
  return SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

int World::GetWindowTextW(HWND window, LPWSTR buffer, int maxCount) {
  {
    std::lock_guard<std::mutex> lk(mutex_);
    if (!impl_->Find(window, Impl::Kind::Window)) {
      t_lastError = ERROR_INVALID_WINDOW_HANDLE;
      return 0;
    }
  }
  if (!buffer || maxCount <= 0) return 0;
  return static_cast<int>(
      SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(maxCount), reinterpret_cast<LPARAM>(buffer)));
}

int World::GetWindowTextLengthW(HWND window) {
  {
    std::lock_guard<std::mutex> lk(mutex_);
    if (!impl_->Find(window, Impl::Kind::Window)) {
      t_lastError = ERROR_INVALID_WINDOW_HANDLE;
      return 0;
    }
  }
  return static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
}

BOOL World::EnableWindow(HWND window, BOOL enable) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto w = impl_->WindowOf(window);
  if (!w) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  const BOOL wasDisabled = (w->style & WS_DISABLED) ? TRUE : FALSE;
  if (enable)
    w->style &= ~WS_DISABLED;
  else
    w->style |= WS_DISABLED;
  return wasDisabled;
}

BOOL World::IsWindowEnabled(HWND window) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto w = impl_->WindowOf(window);
  return w && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

LONG_PTR World::SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto w = impl_->WindowOf(window);
  if (!w) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  if (index != DWLP_MSGRESULT || !w->dlgProc) {
    t_lastError = ERROR_INVALID_INDEX;
    return 0;
  }
  const LONG_PTR previous = w->msgResult;
  w->msgResult = value;
  t_lastError = 0;
  return previous;
}

// ------------------------------------------------------------------ timers

UINT_PTR World::SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC) {
  std::lock_guard<std::mutex> lk(mutex_);
  const UINT period = std::clamp<UINT>(elapse, 10, 0x7FFFFFFF);  // USER_TIMER_MINIMUM .. MAXIMUM
  // Without a window the timer is the calling thread's: "If the hWnd parameter
  // is NULL, and the nIDEvent does not match an existing timer then it ignores
  // the nIDEvent and creates a new timer ID"; its WM_TIMER has no window.
  if (!window) {
    auto& timers = impl_->QueueOf(std::this_thread::get_id()).timers;
    if (!timers.count(id)) id = impl_->nextThreadTimer++;
    timers[id] = Impl::Timer{period, now_ + period};
    impl_->Notify();
    return id;
  }
  auto w = impl_->WindowOf(window);
  // Only the window's own thread may set its timers (Wine: SetTimer fails with
  // ERROR_INVALID_WINDOW_HANDLE for a window of another thread).
  if (!w || w->owner != std::this_thread::get_id()) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  w->timers[id] = Impl::Timer{period, now_ + period};
  impl_->Notify();
  return id;
}

BOOL World::KillTimer(HWND window, UINT_PTR id) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (!window) {
    if (!impl_->QueueOf(std::this_thread::get_id()).timers.erase(id)) {
      t_lastError = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    return TRUE;
  }
  auto w = impl_->WindowOf(window);
  if (!w || !w->timers.erase(id)) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  return TRUE;
}

// ------------------------------------------------------------------ message boxes and the file dialog

int World::MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  std::unique_lock<std::mutex> lk(mutex_);
  auto ownerWindow = impl_->WindowOf(owner);
  if (owner && !ownerWindow) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  MessageBoxRecord record;
  record.owner = owner;
  record.text = FromW(text);
  record.caption = caption ? FromW(caption) : u"Error";  // Windows' caption for a null one
  record.type = type;
  record.shownAt = now_;
  const UINT buttons = type & MB_TYPEMASK;
  int answer = buttons == MB_YESNO ? IDYES : IDOK;  // the default button is the first
  std::uint64_t after = 1000;
  if (!impl_->boxAnswers.empty()) {
    const int scripted = impl_->boxAnswers.front().button;
    after = impl_->boxAnswers.front().afterMs;
    impl_->boxAnswers.pop_front();
    // Only a button the box has can answer it (an MB_OK box gives IDOK even
    // when closed with Escape or its close box).
    const bool fits = buttons == MB_OKCANCEL ? (scripted == IDOK || scripted == IDCANCEL)
                      : buttons == MB_YESNO  ? (scripted == IDYES || scripted == IDNO)
                                             : scripted == IDOK;
    if (fits)
      answer = scripted;
    else
      impl_->Stall("message box \"" + ToUtf8(record.text) + "\" has no button " + std::to_string(scripted));
  } else if (!impl_->autoAnswer) {
    impl_->Stall("message box \"" + ToUtf8(record.text) + "\" with no answer scripted");
    after = 0;
  }
  const bool ownerWasEnabled = ownerWindow && !(ownerWindow->style & WS_DISABLED);
  if (ownerWindow) ownerWindow->style |= WS_DISABLED;
  record.ownerDisabled = ownerWindow != nullptr;
  const size_t index = impl_->messageBoxes.size();
  impl_->messageBoxes.push_back(record);
  impl_->ModalLoop(
      lk, Impl::ModalFrame{Impl::ModalKind::MessageBox, nullptr}, [] { return false; }, now_ + after,
      "message box \"" + ToUtf8(record.text) + "\"");
  if (ownerWindow && ownerWasEnabled) ownerWindow->style &= ~WS_DISABLED;
  impl_->messageBoxes[index].answer = answer;
  return answer;
}

BOOL World::GetOpenFileNameW(OPENFILENAMEW* ofn) {
  std::unique_lock<std::mutex> lk(mutex_);
  impl_->commDlgError = 0;
  if (!ofn || ofn->lStructSize != sizeof(OPENFILENAMEW)) {
    impl_->commDlgError = CDERR_STRUCTSIZE;
    return FALSE;
  }
  auto ownerWindow = impl_->WindowOf(ofn->hwndOwner);
  FileDialogRecord record;
  record.owner = ofn->hwndOwner;
  if (ofn->lpstrFilter) {
    for (const WCHAR* p = ofn->lpstrFilter; *p; p += std::char_traits<char16_t>::length(p) + 1) {
      record.filter += p;
      record.filter += u'|';
    }
  }
  if (ofn->lpstrFile) record.initialFile = ofn->lpstrFile;
  if (ofn->lpstrDefExt) record.defaultExtension = ofn->lpstrDefExt;
  record.flags = ofn->Flags;
  record.shownAt = now_;
  Impl::FileAnswer answer;
  if (!impl_->fileAnswers.empty()) {
    answer = impl_->fileAnswers.front();
    impl_->fileAnswers.pop_front();
  } else {
    impl_->Stall("file dialog with no answer scripted (taken as cancelled)");
  }
  const bool ownerWasEnabled = ownerWindow && !(ownerWindow->style & WS_DISABLED);
  if (ownerWindow) ownerWindow->style |= WS_DISABLED;
  const size_t index = impl_->fileDialogs.size();
  impl_->fileDialogs.push_back(record);
  impl_->ModalLoop(
      lk, Impl::ModalFrame{Impl::ModalKind::FileDialog, nullptr}, [] { return false; }, now_ + answer.afterMs,
      "file dialog");
  if (ownerWindow && ownerWasEnabled) ownerWindow->style &= ~WS_DISABLED;
  if (!answer.choose) return FALSE;  // cancelled: CommDlgExtendedError stays 0
  const std::u16string& path = answer.path;
  if (!ofn->lpstrFile || path.size() + 1 > ofn->nMaxFile) {
    impl_->commDlgError = FNERR_BUFFERTOOSMALL;
    if (ofn->lpstrFile && ofn->nMaxFile >= 1) ofn->lpstrFile[0] = static_cast<WCHAR>(path.size() + 1);
    return FALSE;
  }
  std::copy(path.begin(), path.end(), ofn->lpstrFile);
  ofn->lpstrFile[path.size()] = 0;
  const size_t slash = path.find_last_of(u'\\');
  const size_t nameStart = slash == std::u16string::npos ? 0 : slash + 1;
  const size_t dot = path.find_last_of(u'.');
  ofn->nFileOffset = static_cast<WORD>(nameStart);
  ofn->nFileExtension = static_cast<WORD>(dot != std::u16string::npos && dot >= nameStart ? dot + 1 : path.size());
  impl_->fileDialogs[index].chosen = true;
  impl_->fileDialogs[index].path = path;
  return TRUE;
}

DWORD World::CommDlgExtendedError() {
  std::lock_guard<std::mutex> lk(mutex_);
  return impl_->commDlgError;
}

// ------------------------------------------------------------------ painting

BOOL World::IsIconic(HWND window) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto w = impl_->WindowOf(window);
  return w && (w->style & WS_MINIMIZE) ? TRUE : FALSE;
}

BOOL World::GetClientRect(HWND window, RECT* rect) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto w = impl_->WindowOf(window);
  if (!w || !rect) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return FALSE;
  }
  // A minimised window's client area is empty; otherwise a fixed size.
  *rect = RECT{0, 0, 0, 0};
  if (!(w->style & WS_MINIMIZE)) *rect = RECT{0, 0, 558, 225};
  return TRUE;
}

int World::GetSystemMetrics(int index) { return index == SM_CXICON || index == SM_CYICON ? 32 : 0; }

HDC World::BeginPaint(HWND window, PAINTSTRUCT* paint) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (!impl_->Find(window, Impl::Kind::Window) || !paint) {
    t_lastError = ERROR_INVALID_WINDOW_HANDLE;
    return nullptr;
  }
  *paint = PAINTSTRUCT{};
  paint->hdc = kPaintDc;
  return kPaintDc;
}

BOOL World::EndPaint(HWND, const PAINTSTRUCT*) { return TRUE; }

BOOL World::DrawIcon(HDC dc, int x, int y, HICON icon) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (dc != kPaintDc || !impl_->Find(icon, Impl::Kind::Icon)) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  HWND top = nullptr;
  for (auto& [tid, q] : impl_->threadQueues)
    for (auto& f : q.modal)
      if (f.kind == Impl::ModalKind::Dialog) top = f.window;
  impl_->iconsDrawn.push_back(IconDrawn{top, x, y, impl_->ResourceOf(icon)});
  return TRUE;
}

// ------------------------------------------------------------------ the user

void World::Impl::RunUserAction(std::unique_lock<std::mutex>& lk, UserAction a) {
  const auto& modal = QueueOf(std::this_thread::get_id()).modal;
  if (a.kind == UserKind::Do) {
    userLog.push_back("action");
    lk.unlock();
    a.fn();
    lk.lock();
    return;
  }
  const std::string what = a.kind == UserKind::Click      ? "click " + std::to_string(a.id)
                           : a.kind == UserKind::Close    ? "close"
                           : a.kind == UserKind::Minimize ? "minimize"
                                                          : "restore";
  if (modal.empty() || modal.back().kind != ModalKind::Dialog) {
    userLog.push_back(what + " ignored: a message box or file dialog is up");
    return;
  }
  HWND dialog = modal.back().window;
  auto d = WindowOf(dialog);
  if (!d || (d->style & WS_DISABLED)) {
    userLog.push_back(what + " ignored: the dialog is disabled");
    return;
  }
  switch (a.kind) {
    case UserKind::Click: {
      std::shared_ptr<WindowObj> button;
      for (HWND c : d->children)
        if (auto cw = WindowOf(c); cw && cw->id == a.id) button = cw;
      if (!button || (button->style & WS_DISABLED) || !(button->style & WS_VISIBLE)) {
        userLog.push_back(what + " ignored: " + (button ? "the button is disabled or hidden" : "no such control"));
        return;
      }
      userLog.push_back(what);
      // The button notifies its parent (BN_CLICKED through WM_COMMAND).
      Deliver(lk, dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(a.id), BN_CLICKED),
              reinterpret_cast<LPARAM>(button->handle));
      return;
    }
    case UserKind::Close:
      userLog.push_back(what);
      Deliver(lk, dialog, WM_CLOSE, 0, 0);
      return;
    case UserKind::Minimize:
    case UserKind::Restore:
      userLog.push_back(what);
      if (a.kind == UserKind::Minimize)
        d->style |= WS_MINIMIZE;
      else
        d->style &= ~WS_MINIMIZE;
      Deliver(lk, dialog, WM_PAINT, 0, 0);
      return;
    default:
      return;
  }
}

UserScript& World::User() { return *user_; }

void UserScript::ClickAt(std::uint64_t atMs, int id) {
  std::lock_guard<std::mutex> lk(world_.mutex_);
  auto& impl = *world_.impl_;
  impl.userActions.push_back({atMs, impl.userSeq++, World::Impl::UserKind::Click, id, nullptr});
  impl.Notify();
}
void UserScript::CloseAt(std::uint64_t atMs) {
  std::lock_guard<std::mutex> lk(world_.mutex_);
  auto& impl = *world_.impl_;
  impl.userActions.push_back({atMs, impl.userSeq++, World::Impl::UserKind::Close, 0, nullptr});
  impl.Notify();
}
void UserScript::MinimizeAt(std::uint64_t atMs, bool minimized) {
  std::lock_guard<std::mutex> lk(world_.mutex_);
  auto& impl = *world_.impl_;
  impl.userActions.push_back(
      {atMs, impl.userSeq++, minimized ? World::Impl::UserKind::Minimize : World::Impl::UserKind::Restore, 0, nullptr});
  impl.Notify();
}
void UserScript::DoAt(std::uint64_t atMs, std::function<void()> action) {
  std::lock_guard<std::mutex> lk(world_.mutex_);
  auto& impl = *world_.impl_;
  impl.userActions.push_back({atMs, impl.userSeq++, World::Impl::UserKind::Do, 0, std::move(action)});
  impl.Notify();
}
void UserScript::AnswerMessageBox(int button, std::uint64_t afterMs) {
  std::lock_guard<std::mutex> lk(world_.mutex_);
  world_.impl_->boxAnswers.push_back({button, afterMs});
}
void UserScript::SetAutoAnswer(bool on) {
  std::lock_guard<std::mutex> lk(world_.mutex_);
  world_.impl_->autoAnswer = on;
}
void UserScript::ChooseFile(const std::u16string& path, std::uint64_t afterMs) {
  std::lock_guard<std::mutex> lk(world_.mutex_);
  world_.impl_->fileAnswers.push_back({true, path, afterMs});
}
void UserScript::CancelFileDialog(std::uint64_t afterMs) {
  std::lock_guard<std::mutex> lk(world_.mutex_);
  world_.impl_->fileAnswers.push_back({false, {}, afterMs});
}
std::vector<std::string> UserScript::Log() {
  std::lock_guard<std::mutex> lk(world_.mutex_);
  return world_.impl_->userLog;
}

// ------------------------------------------------------------------ what tests read back

std::vector<MessageBoxRecord> World::MessageBoxes() {
  std::lock_guard<std::mutex> lk(mutex_);
  return impl_->messageBoxes;
}

std::vector<FileDialogRecord> World::FileDialogs() {
  std::lock_guard<std::mutex> lk(mutex_);
  return impl_->fileDialogs;
}

std::vector<IconDrawn> World::IconsDrawn() {
  std::lock_guard<std::mutex> lk(mutex_);
  return impl_->iconsDrawn;
}

HWND World::ActiveDialog() {
  std::lock_guard<std::mutex> lk(mutex_);
  for (auto& [tid, q] : impl_->threadQueues)
    for (auto it = q.modal.rbegin(); it != q.modal.rend(); ++it)
      if (it->kind == Impl::ModalKind::Dialog) return it->window;
  return nullptr;
}

std::optional<ControlState> World::Control(HWND dialog, int id) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto w = impl_->WindowOf(dialog);
  if (!w) return std::nullopt;
  if (id != 0) {
    std::shared_ptr<Impl::WindowObj> found;
    for (HWND c : w->children)
      if (auto cw = impl_->WindowOf(c); cw && cw->id == id) found = cw;
    if (!found) return std::nullopt;
    w = found;
  }
  ControlState s;
  s.window = w->handle;
  s.id = w->id;
  s.className = w->className;
  s.text = w->text;
  s.style = w->style;
  s.exStyle = w->exStyle;
  s.enabled = !(w->style & WS_DISABLED);
  s.visible = (w->style & WS_VISIBLE) != 0;
  s.image = w->image;
  s.imageResource = impl_->ResourceOf(w->image);
  s.position = w->position;
  s.rangeLow = w->rangeLow;
  s.rangeHigh = w->rangeHigh;
  s.bigIcon = impl_->ResourceOf(w->bigIcon);
  s.smallIcon = impl_->ResourceOf(w->smallIcon);
  for (auto& [timerId, t] : w->timers) s.timers.push_back(timerId);
  return s;
}

}  // namespace kv27::sim
