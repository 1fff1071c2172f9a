// The configuration dialog on a Linux terminal: a full-screen curses form on /dev/tty
// with the dialog's controls, labels and groups in the dialog's order. Tab and Shift-Tab
// walk the tab stops in that order (a radio group is one stop, entered on its checked
// button), arrows move within a radio group, Space toggles or presses, Enter is OK (or
// the push button that has the focus), Esc is Cancel. The values move between the form
// and g_settings exactly as the dialog moves them; nothing here touches the store.
#include "config/config_dialog.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include <curses.h>
#include <termios.h>
#include <unistd.h>

#include "config/settings.h"
#include "platform/tty_posix.h"
#include "util/text.h"
#include "util/charset.h"

namespace {

enum ControlKind { KIND_EDIT, KIND_RADIO, KIND_CHECK, KIND_BUTTON, KIND_LABEL, KIND_FRAME };

enum { FORM_ROWS = 21, FORM_COLS = 78, FORM_TEXT_MAX = SETTINGS_TEXT_SIZE - 1 };

// One control of the dialog; row and col are relative to the form's corner. For an edit
// field width is the number of text cells inside its brackets; for a frame, height and
// width are its outline.
struct FormControl {
    int id;
    ControlKind kind;
    const char *text;
    int row, col, width, height;
    int tab_stop;
    int group;  // radio group number, 0 for none
};

// In the dialog's order, which is the tab order.
const FormControl kControls[] = {
    {1000, KIND_EDIT, nullptr, 2, 3, 70, 1, 1, 0},
    {1001, KIND_EDIT, nullptr, 3, 35, 12, 1, 1, 0},
    {1002, KIND_RADIO, "normal(active) ftp", 6, 4, 0, 1, 1, 1},
    {1003, KIND_RADIO, "passive ftp", 6, 29, 0, 1, 0, 1},
    {1004, KIND_RADIO, "auto select mode", 6, 47, 0, 1, 0, 1},
    {-1, KIND_FRAME, "Data Connection", 5, 2, 74, 3, 0, 0},
    {1, KIND_BUTTON, "OK", 18, 52, 0, 1, 1, 0},
    {2, KIND_BUTTON, "Cancel", 18, 62, 0, 1, 1, 0},
    {-1, KIND_LABEL, "email address(for anonymous ftp)", 1, 2, 0, 1, 0, 0},
    {-1, KIND_LABEL, "Default Ftp Control Port number", 3, 2, 0, 1, 0, 0},
    {1005, KIND_EDIT, nullptr, 9, 3, 70, 1, 1, 0},
    {-1, KIND_LABEL, "Download Folder", 8, 2, 0, 1, 0, 0},
    {-1, KIND_FRAME, "ProxyServer", 10, 2, 74, 6, 0, 0},
    {1006, KIND_RADIO, "NONE", 11, 4, 0, 1, 1, 2},
    {1007, KIND_RADIO, "USER user@hostname", 12, 4, 0, 1, 0, 2},
    {1008, KIND_RADIO, "OPEN hostname", 13, 4, 0, 1, 0, 2},
    {1009, KIND_RADIO, "open hostname", 14, 4, 0, 1, 0, 2},
    {-1, KIND_LABEL, "Proxy Hostname:", 11, 30, 0, 1, 0, 0},
    {-1, KIND_LABEL, "Proxy Port:", 12, 30, 0, 1, 0, 0},
    {1010, KIND_EDIT, nullptr, 11, 46, 26, 1, 1, 0},
    {1011, KIND_EDIT, nullptr, 12, 46, 10, 1, 1, 0},
    {1012, KIND_CHECK, "Auto Resume to Get File.", 16, 4, 0, 1, 1, 0},
    {1016, KIND_CHECK, "Use MLSD listings", 16, 40, 0, 1, 1, 0},
    {-1, KIND_LABEL, "Server character set (empty: automatic)", 17, 4, 0, 1, 0, 0},
    {1017, KIND_EDIT, nullptr, 17, 45, 20, 1, 1, 0},
    {-1, KIND_LABEL, "Connections (1-8):", 18, 4, 0, 1, 0, 0},
    {1013, KIND_EDIT, nullptr, 18, 23, 4, 1, 1, 0},
};
const int kControlCount = (int)(sizeof kControls / sizeof kControls[0]);

struct ControlState {
    char text[SETTINGS_TEXT_SIZE];
    size_t cursor;  // byte offsets, always on a character boundary
    size_t scroll;
    int checked;
};

struct Form {
    ControlState state[sizeof kControls / sizeof kControls[0]];
    int focus;
    char message[160];  // why OK was refused, shown until the next key
};

}  // namespace

// --- Values in and out.

static int control_index(int id)
{
    for (int i = 0; i < kControlCount; i++)
        if (kControls[i].id == id)
            return i;
    return -1;
}

static ControlState *control(Form *form, int id)
{
    return &form->state[control_index(id)];
}

static void set_text(Form *form, int id, const char *text)
{
    ControlState *s = control(form, id);
    text_copy(s->text, sizeof s->text, text);
    s->cursor = 0;
    s->scroll = 0;
}

static void set_number(Form *form, int id, int32_t value)
{
    char text[16];
    text_format(text, sizeof text, "%d", (int)value);
    set_text(form, id, text);
}

// A signed decimal with optional blanks around it; anything else, or a value outside
// 32 bits, is not a number and gives 0, so a typo never saves some other port.
static int32_t read_number(const char *text)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        p++;
    int negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (*p < '0' || *p > '9')
        return 0;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > (long long)INT_MAX + 1)
            return 0;
    }
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p)
        return 0;
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        return 0;
    return (int32_t)value;
}

static void check_one(Form *form, const int *ids, int count, int32_t value)
{
    for (int i = 0; i < count; i++)
        control(form, ids[i])->checked = value == i;
}

static const int kModeIds[] = {1002, 1003, 1004};
static const int kProxyIds[] = {1006, 1007, 1008, 1009};

static void form_load(Form *form)
{
    memset(form, 0, sizeof *form);
    set_text(form, 1000, g_settings.EMailAddress);
    set_text(form, 1005, g_settings.DefaultDir);
    set_number(form, 1001, g_settings.FtpCtrlPort);
    check_one(form, kModeIds, 3, g_settings.PassiveMode);
    check_one(form, kProxyIds, 4, g_settings.ProxyType);
    set_number(form, 1011, g_settings.ProxyPort);
    set_text(form, 1010, g_settings.ProxyHost);
    control(form, 1012)->checked = g_settings.ResumeGetMode != 0;
    set_number(form, 1013, g_settings.Connections);
    control(form, 1016)->checked = g_settings.UseMLSD != 0;
    set_text(form, 1017, g_settings.ServerCharset);
    form->focus = 0;
    form->state[0].cursor = strlen(form->state[0].text);
}

static void form_save(Form *form)
{
    text_copy(g_settings.EMailAddress, sizeof g_settings.EMailAddress, control(form, 1000)->text);
    text_copy(g_settings.DefaultDir, sizeof g_settings.DefaultDir, control(form, 1005)->text);
    g_settings.FtpCtrlPort = read_number(control(form, 1001)->text);
    for (int i = 0; i < 3; i++)
        if (control(form, kModeIds[i])->checked)
            g_settings.PassiveMode = i;
    for (int i = 0; i < 4; i++)
        if (control(form, kProxyIds[i])->checked)
            g_settings.ProxyType = i;
    g_settings.ProxyPort = read_number(control(form, 1011)->text);
    text_copy(g_settings.ProxyHost, sizeof g_settings.ProxyHost, control(form, 1010)->text);
    g_settings.ResumeGetMode = control(form, 1012)->checked ? 1 : 0;
    g_settings.Connections = settings_connections_in_range(read_number(control(form, 1013)->text));
    g_settings.UseMLSD = control(form, 1016)->checked ? 1 : 0;
    text_copy(g_settings.ServerCharset, sizeof g_settings.ServerCharset, control(form, 1017)->text);
}

// --- Editing a field. Offsets step over whole UTF-8 characters.

static int is_continuation(char c)
{
    return charset_utf8_continues((unsigned char)c);
}

static size_t next_char(const char *text, size_t at)
{
    if (!text[at])
        return at;
    at++;
    while (text[at] && is_continuation(text[at]))
        at++;
    return at;
}

static size_t prev_char(const char *text, size_t at)
{
    if (at == 0)
        return 0;
    at--;
    while (at > 0 && is_continuation(text[at]))
        at--;
    return at;
}

static void edit_delete(ControlState *s, size_t from, size_t to)
{
    size_t len = strlen(s->text);
    memmove(s->text + from, s->text + to, len - to + 1);
    s->cursor = from;
}

// Inserts one typed byte. The field holds at most 999 bytes; a character that would only
// partly fit is dropped whole.
static void edit_insert(ControlState *s, int byte)
{
    size_t len = strlen(s->text);
    if (len >= FORM_TEXT_MAX) {
        if (is_continuation((char)byte)) {
            size_t start = prev_char(s->text, s->cursor);
            if (start < s->cursor && !is_continuation(s->text[start]) &&
                ((unsigned char)s->text[start] & 0x80))
                edit_delete(s, start, s->cursor);
        }
        beep();
        return;
    }
    memmove(s->text + s->cursor + 1, s->text + s->cursor, len - s->cursor + 1);
    s->text[s->cursor++] = (char)byte;
}

// Returns 1 when the key belonged to the field.
static int edit_key(ControlState *s, int key)
{
    switch (key) {
    case KEY_LEFT:
        s->cursor = prev_char(s->text, s->cursor);
        return 1;
    case KEY_RIGHT:
        s->cursor = next_char(s->text, s->cursor);
        return 1;
    case KEY_HOME:
    case 1:  // Ctrl-A
        s->cursor = 0;
        return 1;
    case KEY_END:
    case 5:  // Ctrl-E
        s->cursor = strlen(s->text);
        return 1;
    case KEY_BACKSPACE:
    case 127:
    case 8:
        if (s->cursor > 0)
            edit_delete(s, prev_char(s->text, s->cursor), s->cursor);
        return 1;
    case KEY_DC:
        edit_delete(s, s->cursor, next_char(s->text, s->cursor));
        return 1;
    case 21:  // Ctrl-U
        s->text[0] = '\0';
        s->cursor = 0;
        return 1;
    default:
        break;
    }
    if ((key >= 0x20 && key < 0x7F) || (key >= 0x80 && key <= 0xFF)) {
        edit_insert(s, key);
        return 1;
    }
    return 0;
}

// --- Focus.

static int is_stop(int i)
{
    return kControls[i].tab_stop;
}

// Entering a radio group lands on its checked button, else its first.
static int enter_group(const Form *form, int i)
{
    if (kControls[i].kind != KIND_RADIO)
        return i;
    for (int j = i; j < kControlCount && kControls[j].group == kControls[i].group; j++)
        if (form->state[j].checked)
            return j;
    return i;
}

static int group_first(int i)
{
    while (i > 0 && kControls[i].kind == KIND_RADIO && kControls[i - 1].group == kControls[i].group)
        i--;
    return i;
}

static void focus_step(Form *form, int direction)
{
    int i = group_first(form->focus);
    for (int n = 0; n < kControlCount; n++) {
        i = (i + direction + kControlCount) % kControlCount;
        if (is_stop(i)) {
            form->focus = enter_group(form, i);
            // A field is entered at its end, ready for more text or for Ctrl-U.
            form->state[form->focus].cursor = strlen(form->state[form->focus].text);
            return;
        }
    }
}

// Arrows in a radio group move to the next button and check it, as automatic radio
// buttons do; the group wraps.
static void radio_step(Form *form, int direction)
{
    int group = kControls[form->focus].group;
    int first = group_first(form->focus), last = first;
    while (last + 1 < kControlCount && kControls[last + 1].group == group)
        last++;
    int i = form->focus + direction;
    if (i < first)
        i = last;
    if (i > last)
        i = first;
    for (int j = first; j <= last; j++)
        form->state[j].checked = j == i;
    form->focus = i;
}

// --- Drawing.

// Shows a field's text from its scroll offset; characters outside printable ASCII show as
// '?' (one cell each), so nothing typed can reach the terminal as a control sequence.
static int draw_edit(WINDOW *win, const FormControl *c, ControlState *s, int focused)
{
    if (s->cursor < s->scroll)
        s->scroll = s->cursor;
    for (;;) {
        int cells = 0;
        for (size_t at = s->scroll; at < s->cursor; at = next_char(s->text, at))
            cells++;
        if (cells < c->width)
            break;
        s->scroll = next_char(s->text, s->scroll);
    }
    mvwaddch(win, c->row, c->col, '[');
    int cursor_col = c->col + 1;
    size_t at = s->scroll;
    if (focused)
        wattron(win, A_UNDERLINE);
    for (int cell = 0; cell < c->width; cell++) {
        if (at == s->cursor)
            cursor_col = c->col + 1 + cell;
        int ch = ' ';
        if (s->text[at]) {
            unsigned char b = (unsigned char)s->text[at];
            ch = b >= 0x20 && b < 0x7F ? b : '?';
            at = next_char(s->text, at);
        }
        waddch(win, (chtype)ch);
    }
    if (focused)
        wattroff(win, A_UNDERLINE);
    waddch(win, ']');
    return cursor_col;
}

// Plain ASCII outlines: they look the same on every terminal and in a text capture.
static void draw_frame(WINDOW *win, int top, int left, int height, int width, const char *title)
{
    mvwaddch(win, top, left, '+');
    whline(win, '-', width - 2);
    mvwaddch(win, top, left + width - 1, '+');
    for (int r = 1; r < height - 1; r++) {
        mvwaddch(win, top + r, left, '|');
        mvwaddch(win, top + r, left + width - 1, '|');
    }
    mvwaddch(win, top + height - 1, left, '+');
    whline(win, '-', width - 2);
    mvwaddch(win, top + height - 1, left + width - 1, '+');
    if (title != nullptr)
        mvwprintw(win, top, left + 2, " %s ", title);
}

static void form_draw(Form *form)
{
    erase();
    if (LINES < FORM_ROWS || COLS < FORM_COLS) {
        curs_set(0);
        mvprintw(0, 0, "KESTREL Configuration needs %d x %d,", FORM_COLS, FORM_ROWS);
        mvprintw(1, 0, "this terminal is %d x %d.", COLS, LINES);
        mvprintw(2, 0, "Enlarge it, or press Esc to cancel.");
        refresh();
        return;
    }
    WINDOW *win = stdscr;
    int top = (LINES - FORM_ROWS) / 2, left = (COLS - FORM_COLS) / 2;
    WINDOW *sub = derwin(win, FORM_ROWS, FORM_COLS, top, left);
    if (sub == nullptr)
        return;
    draw_frame(sub, 0, 0, FORM_ROWS - 1, FORM_COLS, "KESTREL Configuration");
    int cursor_row = -1, cursor_col = -1;
    for (int i = 0; i < kControlCount; i++) {
        const FormControl *c = &kControls[i];
        ControlState *s = &form->state[i];
        int focused = form->focus == i;
        switch (c->kind) {
        case KIND_FRAME:
            draw_frame(sub, c->row, c->col, c->height, c->width, c->text);
            break;
        case KIND_LABEL:
            mvwaddstr(sub, c->row, c->col, c->text);
            break;
        case KIND_EDIT: {
            int col = draw_edit(sub, c, s, focused);
            if (focused) {
                cursor_row = c->row;
                cursor_col = col;
            }
            break;
        }
        case KIND_RADIO:
        case KIND_CHECK: {
            const char *mark = c->kind == KIND_RADIO ? (s->checked ? "(*)" : "( )") : (s->checked ? "[x]" : "[ ]");
            mvwaddstr(sub, c->row, c->col, mark);
            waddch(sub, ' ');
            if (focused)
                wattron(sub, A_REVERSE);
            waddstr(sub, c->text);
            if (focused)
                wattroff(sub, A_REVERSE);
            break;
        }
        case KIND_BUTTON: {
            // The default button is OK, or whichever push button has the focus.
            int is_default = focused || (c->id == 1 && kControls[form->focus].kind != KIND_BUTTON);
            wmove(sub, c->row, c->col);
            if (focused)
                wattron(sub, A_REVERSE);
            waddstr(sub, is_default ? "<" : "[");
            wprintw(sub, " %s ", c->text);
            waddstr(sub, is_default ? ">" : "]");
            if (focused)
                wattroff(sub, A_REVERSE);
            break;
        }
        }
    }
    if (form->message[0])
        mvwaddnstr(sub, FORM_ROWS - 1, 1, form->message, FORM_COLS - 2);
    else
        mvwaddstr(sub, FORM_ROWS - 1, 1,
                  "Tab/Shift-Tab: move  Arrows: choose  Space: toggle  Enter: OK  Esc: Cancel");
    if (kControls[form->focus].kind == KIND_EDIT) {
        curs_set(1);
        wmove(sub, cursor_row, cursor_col);
    } else {
        curs_set(0);
    }
    wnoutrefresh(win);
    wnoutrefresh(sub);
    doupdate();
    delwin(sub);
}

// --- The loop.

// 1 when the form's values may be taken; else 0, with the reason shown and the focus on
// the field to mend, as the dialog does it.
static int form_accepts(Form *form)
{
    const char *charset = control(form, 1017)->text;
    if (settings_charset_known(charset))
        return 1;
    text_format(form->message, sizeof form->message,
                "Server character set: no character set named %.60s (empty: automatic)", charset);
    form->focus = control_index(1017);
    control(form, 1017)->cursor = strlen(charset);
    return 0;
}

// 1 after OK, 0 after Cancel.
static int form_run(Form *form)
{
    for (;;) {
        form_draw(form);
        int key = getch();
        form->message[0] = '\0';
        if (key == ERR)
            return 0;  // the terminal went away: nothing was confirmed
        if (key == KEY_RESIZE)
            continue;
        // Ctrl-C arrives as a key (raw mode), so it cancels instead of killing the process
        // with the form still on the screen.
        if (key == 27 || key == 3)
            return 0;
        if (LINES < FORM_ROWS || COLS < FORM_COLS)
            continue;
        const FormControl *c = &kControls[form->focus];
        ControlState *s = &form->state[form->focus];
        if (key == '\t') {
            focus_step(form, 1);
        } else if (key == KEY_BTAB) {
            focus_step(form, -1);
        } else if (key == '\n' || key == '\r' || key == KEY_ENTER) {
            if (c->kind == KIND_BUTTON && c->id == 2)
                return 0;
            if (form_accepts(form))
                return 1;
        } else if (c->kind == KIND_EDIT && edit_key(s, key)) {
        } else if (c->kind == KIND_RADIO &&
                   (key == KEY_UP || key == KEY_DOWN || key == KEY_LEFT || key == KEY_RIGHT)) {
            radio_step(form, key == KEY_UP || key == KEY_LEFT ? -1 : 1);
        } else if (key == KEY_UP || key == KEY_DOWN) {
            focus_step(form, key == KEY_UP ? -1 : 1);
        } else if (key == ' ') {
            if (c->kind == KIND_CHECK)
                s->checked = !s->checked;
            else if (c->kind == KIND_RADIO)
                radio_step(form, 0);
            else if (c->kind == KIND_BUTTON && c->id == 2)
                return 0;
            else if (c->kind == KIND_BUTTON && form_accepts(form))
                return 1;
        }
    }
}

int config_dialog_run(void *module, void *owner)
{
    (void)module;
    (void)owner;
    TtyTerminal tty;
    if (tty_open(&tty, 0) != 0)
        return -1;
    struct termios saved;
    int have_saved = tcgetattr(tty.fd, &saved) == 0;
    int in_fd = dup(tty.fd), out_fd = dup(tty.fd);
    FILE *in = in_fd >= 0 ? fdopen(in_fd, "r") : nullptr;
    FILE *out = out_fd >= 0 ? fdopen(out_fd, "w") : nullptr;
    SCREEN *screen = nullptr;
    int result = -1;
    if (in != nullptr && out != nullptr && have_saved)
        screen = newterm(tty.name, out, in);
    if (screen != nullptr) {
        tty_set_form_active(1);
        set_term(screen);
        raw();
        noecho();
        nonl();
        keypad(stdscr, TRUE);
        set_escdelay(50);
        static Form form;  // the caller's thread only, like g_settings
        form_load(&form);
        result = form_run(&form);
        if (result == 1)
            form_save(&form);
        endwin();
        delscreen(screen);
        tty_set_form_active(0);
    }
    if (in != nullptr)
        fclose(in);
    else if (in_fd >= 0)
        close(in_fd);
    if (out != nullptr)
        fclose(out);
    else if (out_fd >= 0)
        close(out_fd);
    if (have_saved)
        tcsetattr(tty.fd, TCSANOW, &saved);
    tty_close(&tty);
    return result;
}
