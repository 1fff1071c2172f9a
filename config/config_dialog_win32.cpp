// The configuration dialog on Windows: template 101, run modally on the caller's thread.
// It only moves values between g_settings and its controls; loading and saving are the
// export's business.
#include "config/config_dialog.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "config/settings.h"
#include "resources/resource_ids.h"

static const int kDataModeButtons[] = {IDC_CONFIG_ACTIVE, IDC_CONFIG_PASSIVE, IDC_CONFIG_AUTO};
static const int kProxyButtons[] = {IDC_CONFIG_PROXY_NONE, IDC_CONFIG_PROXY_USER, IDC_CONFIG_PROXY_OPEN,
                                    IDC_CONFIG_PROXY_OPEN_LOWER};

// Texts typed into the dialog must fit the settings' fields whole: the edit controls take
// no more than that, so nothing is cut behind the user's back.
static const int kTextControls[] = {IDC_CONFIG_EMAIL, IDC_CONFIG_DEFAULT_DIR, IDC_CONFIG_PROXY_HOST,
                                    IDC_CONFIG_SERVER_CHARSET};

// Checks the button for value, or none when the value is out of range (a mode that some
// other program stored stays visible as "nothing chosen" and survives OK).
static void check_choice(HWND dialog, const int *buttons, int count, int value)
{
    for (int i = 0; i < count; i++)
        CheckDlgButton(dialog, buttons[i], i == value ? BST_CHECKED : BST_UNCHECKED);
}

static void read_choice(HWND dialog, const int *buttons, int count, int32_t *value)
{
    for (int i = 0; i < count; i++)
        if (IsDlgButtonChecked(dialog, buttons[i]) == BST_CHECKED)
            *value = i;
}

// The dialog is a Unicode window, so its Japanese labels and font name reach the screen
// whatever the ANSI code page is; the settings stay in the ANSI code page, as the registry
// and the archiver interface hand them on.
static void set_text(HWND dialog, int id, const char *text)
{
    wchar_t wide[SETTINGS_TEXT_SIZE];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, SETTINGS_TEXT_SIZE) == 0)
        wide[0] = L'\0';
    SetDlgItemTextW(dialog, id, wide);
}

// 0, or -1 (field untouched) when the text does not fit the field in the ANSI code page:
// a character there may take two bytes.
static int get_text(HWND dialog, int id, char *field)
{
    wchar_t wide[SETTINGS_TEXT_SIZE];
    char converted[SETTINGS_TEXT_SIZE];
    GetDlgItemTextW(dialog, id, wide, SETTINGS_TEXT_SIZE);
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, converted, SETTINGS_TEXT_SIZE, nullptr, nullptr) == 0)
        return -1;
    memcpy(field, converted, SETTINGS_TEXT_SIZE);
    return 0;
}

static void config_dialog_init(HWND dialog)
{
    for (int id : kTextControls)
        SendDlgItemMessageW(dialog, id, EM_LIMITTEXT, SETTINGS_TEXT_SIZE - 1, 0);
    set_text(dialog, IDC_CONFIG_EMAIL, g_settings.EMailAddress);
    set_text(dialog, IDC_CONFIG_DEFAULT_DIR, g_settings.DefaultDir);
    SetDlgItemInt(dialog, IDC_CONFIG_CTRL_PORT, (UINT)g_settings.FtpCtrlPort, TRUE);
    check_choice(dialog, kDataModeButtons, 3, g_settings.PassiveMode);
    check_choice(dialog, kProxyButtons, 4, g_settings.ProxyType);
    SetDlgItemInt(dialog, IDC_CONFIG_PROXY_PORT, (UINT)g_settings.ProxyPort, TRUE);
    set_text(dialog, IDC_CONFIG_PROXY_HOST, g_settings.ProxyHost);
    CheckDlgButton(dialog, IDC_CONFIG_RESUME, g_settings.ResumeGetMode ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemInt(dialog, IDC_CONFIG_CONNECTIONS, (UINT)g_settings.Connections, TRUE);
    CheckDlgButton(dialog, IDC_CONFIG_USE_MLSD, g_settings.UseMLSD ? BST_CHECKED : BST_UNCHECKED);
    set_text(dialog, IDC_CONFIG_SERVER_CHARSET, g_settings.ServerCharset);
}

// 0, or -1 with nothing taken over when a text does not fit its field: the user is told
// which one and the dialog stays open, so nothing typed is cut or lost.
static int config_dialog_accept(HWND dialog)
{
    static const struct {
        int id;
        const wchar_t *label;
    } kFields[] = {{IDC_CONFIG_EMAIL, L"email address"},
                   {IDC_CONFIG_DEFAULT_DIR, L"Download Folder"},
                   {IDC_CONFIG_PROXY_HOST, L"Proxy Hostname"},
                   {IDC_CONFIG_SERVER_CHARSET, L"Server character set"}};
    char scratch[SETTINGS_TEXT_SIZE];
    for (const auto &field : kFields) {
        if (get_text(dialog, field.id, scratch) != 0) {
            wchar_t message[160];
            _snwprintf(message, sizeof message / sizeof message[0] - 1,
                       L"%ls is too long: it may take %d bytes at most.", field.label,
                       SETTINGS_TEXT_SIZE - 1);
            message[sizeof message / sizeof message[0] - 1] = L'\0';
            MessageBoxW(dialog, message, L"KESTREL Configuration", MB_OK | MB_ICONWARNING);
            SetFocus(GetDlgItem(dialog, field.id));
            return -1;
        }
    }
    get_text(dialog, IDC_CONFIG_SERVER_CHARSET, scratch);
    if (!settings_charset_known(scratch)) {
        wchar_t typed[64], message[160];
        GetDlgItemTextW(dialog, IDC_CONFIG_SERVER_CHARSET, typed, sizeof typed / sizeof typed[0]);
        _snwprintf(message, sizeof message / sizeof message[0] - 1,
                   L"Server character set: no character set named %ls (leave it empty for automatic).", typed);
        message[sizeof message / sizeof message[0] - 1] = L'\0';
        MessageBoxW(dialog, message, L"KESTREL Configuration", MB_OK | MB_ICONWARNING);
        SetFocus(GetDlgItem(dialog, IDC_CONFIG_SERVER_CHARSET));
        return -1;
    }
    get_text(dialog, IDC_CONFIG_EMAIL, g_settings.EMailAddress);
    get_text(dialog, IDC_CONFIG_DEFAULT_DIR, g_settings.DefaultDir);
    // Not a number (or out of range) reads as 0, which the user sees as the stored port.
    g_settings.FtpCtrlPort = (int32_t)GetDlgItemInt(dialog, IDC_CONFIG_CTRL_PORT, nullptr, TRUE);
    read_choice(dialog, kDataModeButtons, 3, &g_settings.PassiveMode);
    read_choice(dialog, kProxyButtons, 4, &g_settings.ProxyType);
    g_settings.ProxyPort = (int32_t)GetDlgItemInt(dialog, IDC_CONFIG_PROXY_PORT, nullptr, TRUE);
    get_text(dialog, IDC_CONFIG_PROXY_HOST, g_settings.ProxyHost);
    g_settings.ResumeGetMode = IsDlgButtonChecked(dialog, IDC_CONFIG_RESUME) == BST_CHECKED ? 1 : 0;
    g_settings.Connections =
        settings_connections_in_range((int32_t)GetDlgItemInt(dialog, IDC_CONFIG_CONNECTIONS, nullptr, TRUE));
    g_settings.UseMLSD = IsDlgButtonChecked(dialog, IDC_CONFIG_USE_MLSD) == BST_CHECKED ? 1 : 0;
    get_text(dialog, IDC_CONFIG_SERVER_CHARSET, g_settings.ServerCharset);
    return 0;
}

static INT_PTR CALLBACK config_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    (void)lparam;
    switch (message) {
    case WM_INITDIALOG:
        config_dialog_init(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:
            if (config_dialog_accept(dialog) == 0)
                EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:  // also Escape and the close box
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

int config_dialog_run(void *module, void *owner)
{
    // In a program that links the library statically the templates are its own.
    HINSTANCE instance = module ? (HINSTANCE)module : GetModuleHandleA(nullptr);
    // DialogBoxParam answers 0 for an invalid owner, which would pass for Cancel.
    if (owner && !IsWindow((HWND)owner))
        return -1;
    INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_KESTREL_CONFIG), (HWND)owner,
                                     config_dialog_procedure, 0);
    if (result == 1 || result == 0)
        return (int)result;
    return -1;
}
