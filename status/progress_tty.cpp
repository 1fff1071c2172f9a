#include "status/progress_tty.h"

#include <cstring>

#include "util/text.h"

namespace {

enum {
    FIELD_SIZE = 48,
    BAR_MIN = 10,  // a narrower bar tells too little: the fields go on a second row instead
    BAR_MAX = 40,
    MAX_FIELDS = 7,
};

const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};

struct Field {
    char text[FIELD_SIZE];
    int is_bar;
};

// The unit that shows a value with at most three digits before the point.
int unit_of(double bytes)
{
    int u = 0;
    while (bytes >= 999.5 && u < 4) {
        bytes /= 1024;
        u++;
    }
    return u;
}

void format_in_unit(char *out, size_t size, double bytes, int u)
{
    double v = bytes;
    for (int i = 0; i < u; i++)
        v /= 1024;
    if (u == 0)
        text_format(out, size, "%.0f", v);
    else if (v < 9.995)
        text_format(out, size, "%.2f", v);
    else if (v < 99.95)
        text_format(out, size, "%.1f", v);
    else
        text_format(out, size, "%.0f", v);
}

void format_duration(char *out, size_t size, double seconds)
{
    if (seconds < 0 || seconds > 359999)  // beyond 99 hours the figure says nothing
        seconds = 359999;
    long s = (long)(seconds + 0.5);
    if (s >= 3600)
        text_format(out, size, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        text_format(out, size, "%ld:%02ld", s / 60, s % 60);
}

// "20.0/286 MiB" when both share a unit, else "999 KiB/1.02 MiB".
void format_done_of_total(char *out, size_t size, double done, double total)
{
    char a[24], b[24];
    int ud = unit_of(done), ut = unit_of(total);
    format_in_unit(a, sizeof a, done, ud);
    format_in_unit(b, sizeof b, total, ut);
    if (ud == ut)
        text_format(out, size, "%s/%s %s", a, b, kUnits[ut]);
    else
        text_format(out, size, "%s %s/%s %s", a, kUnits[ud], b, kUnits[ut]);
}

void format_rate(char *out, size_t size, double rate)
{
    if (rate < 0) {
        text_copy(out, size, "-- B/s");
        return;
    }
    char bytes[24];
    status_format_bytes(bytes, sizeof bytes, rate);
    text_format(out, size, "%s/s", bytes);
}

int fields_width(const Field *fields, int count, int bar)
{
    int width = 0;
    for (int i = 0; i < count; i++)
        width += (i > 0 ? 2 : 0) + (fields[i].is_bar ? bar + 2 : (int)strlen(fields[i].text));
    return width;
}

void put_bar(char *out, size_t size, size_t *len, int bar, double fraction)
{
    int filled = (int)(bar * fraction);
    if (*len + (size_t)bar + 3 > size)
        return;
    out[(*len)++] = '[';
    for (int i = 0; i < bar; i++)
        out[(*len)++] = i < filled ? '#' : '.';
    out[(*len)++] = ']';
    out[*len] = '\0';
}

void join_fields(const Field *fields, int count, int bar, double fraction, const char *indent, char *out)
{
    size_t len = 0;
    out[0] = '\0';
    text_copy(out, STATUS_PROGRESS_ROW_SIZE, indent);
    len = strlen(out);
    for (int i = 0; i < count; i++) {
        if (i > 0) {
            text_append(out, STATUS_PROGRESS_ROW_SIZE, "  ");
            len = strlen(out);
        }
        if (fields[i].is_bar) {
            put_bar(out, STATUS_PROGRESS_ROW_SIZE, &len, bar, fraction);
        } else {
            text_append(out, STATUS_PROGRESS_ROW_SIZE, fields[i].text);
            len = strlen(out);
        }
    }
}

// Lays out fields on one row of `width` columns, leaving out the last ones while they do
// not fit; the bar takes what is left, up to BAR_MAX, and goes when it gets below min_bar.
void fit_row(Field *fields, int count, int width, int min_bar, double fraction, const char *indent, char *out)
{
    int indent_width = (int)strlen(indent);
    int bar_at = -1;
    for (int i = 0; i < count; i++)
        if (fields[i].is_bar)
            bar_at = i;
    for (;;) {
        int fixed = indent_width + fields_width(fields, count, 0);
        int bar = 0;
        if (bar_at >= 0 && bar_at < count) {
            bar = width - fixed;
            if (bar > BAR_MAX)
                bar = BAR_MAX;
            if (bar < min_bar) {
                // Without the bar (and its separator) the rest may fit.
                memmove(&fields[bar_at], &fields[bar_at + 1], sizeof(Field) * (size_t)(count - bar_at - 1));
                count--;
                bar_at = -1;
                continue;
            }
        }
        if (fixed + bar <= width || count <= 1) {
            join_fields(fields, count, bar, fraction, indent, out);
            return;
        }
        count--;
    }
}

}  // namespace

void status_format_bytes(char *out, size_t size, double bytes)
{
    char number[24];
    int u = unit_of(bytes);
    format_in_unit(number, sizeof number, bytes, u);
    text_format(out, size, "%s %s", number, kUnits[u]);
}

int status_progress_format(const StatusProgressFigures *f, int width, int max_rows, char *row1, char *row2)
{
    Field fields[MAX_FIELDS];
    memset(fields, 0, sizeof fields);
    row1[0] = '\0';
    if (row2 != nullptr)
        row2[0] = '\0';
    double done = f->done < 0 ? 0 : (double)f->done;
    char elapsed[24];
    format_duration(elapsed, sizeof elapsed, f->elapsed);

    int n = 0;
    text_format(fields[n++].text, FIELD_SIZE, "%-5s", f->kind);
    if (f->total <= 0) {
        status_format_bytes(fields[n++].text, FIELD_SIZE, done);
        format_rate(fields[n++].text, FIELD_SIZE, f->rate);
        text_format(fields[n++].text, FIELD_SIZE, "%s elapsed", elapsed);
        fit_row(fields, n, width, BAR_MIN, 0, "", row1);
        return 1;
    }

    double total = (double)f->total;
    double fraction = done >= total ? 1.0 : done / total;
    fields[n++].is_bar = 1;
    text_format(fields[n++].text, FIELD_SIZE, "%3d%%", (int)(fraction * 100));
    format_done_of_total(fields[n++].text, FIELD_SIZE, done, total);
    int first_row = n;
    format_rate(fields[n++].text, FIELD_SIZE, f->rate);
    text_format(fields[n++].text, FIELD_SIZE, "%s elapsed", elapsed);
    if (f->rate > 0) {
        char left[24];
        format_duration(left, sizeof left, (total - done) / f->rate);
        text_format(fields[n++].text, FIELD_SIZE, "%s left", left);
    } else {
        text_copy(fields[n++].text, FIELD_SIZE, "--:-- left");
    }

    // Everything on one row when the bar keeps a useful width there.
    if (fields_width(fields, n, 0) + BAR_MIN <= width || max_rows < 2 || row2 == nullptr) {
        fit_row(fields, n, width, max_rows < 2 ? 5 : BAR_MIN, fraction, "", row1);
        return 1;
    }
    // Else the bar and the amounts on the first row, the rate and the times below them.
    fit_row(fields, first_row, width, 5, fraction, "", row1);
    fit_row(fields + first_row, n - first_row, width, 0, 0, "       ", row2);
    return 2;
}
