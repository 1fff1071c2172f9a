#include "command/arguments.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "util/charset.h"

namespace {

bool is_blank(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Neither NUL, blank nor '"' is a trail byte, so a stray lead byte can never swallow the
// terminator or change how the rest of the line splits.
bool is_trail_byte(unsigned char c)
{
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

const unsigned char *skip_blanks(const unsigned char *p)
{
    while (is_blank(*p))
        p++;
    return p;
}

// Where the tokens of an argument list go: `count` pointers written so far into slots
// and `bytes` of text (terminators included) into texts. With null slots and texts
// only the counts move, so one pass measures a list exactly and a second, over the
// same text, fills the block made for it: no token ever holds more than its text.
struct ListFill {
    char **slots;
    char *texts;
    size_t count;
    size_t bytes;
};

void fill_token(ListFill *fill, const char *text, size_t length)
{
    if (fill->texts != nullptr) {
        char *out = fill->texts + fill->bytes;
        memcpy(out, text, length);
        out[length] = '\0';
        fill->slots[fill->count] = out;
    }
    fill->count++;
    fill->bytes += length + 1;
}

// Splits text into fill (see tokenize_command_line for the rules).
void scan_tokens(const char *text, ListFill *fill)
{
    const unsigned char *p = skip_blanks((const unsigned char *)(text != nullptr ? text : ""));
    while (*p != '\0') {
        char *out = fill->texts != nullptr ? fill->texts + fill->bytes : nullptr;
        size_t length = 0;
        bool quoted = false;
        while (*p != '\0' && (quoted || !is_blank(*p))) {
            if (*p == '"') {
                quoted = !quoted;
                p++;
                continue;
            }
            unsigned char c = *p++;
            if (out != nullptr)
                out[length] = (char)c;
            length++;
            if (charset_sjis_lead(c) && is_trail_byte(*p)) {
                if (out != nullptr)
                    out[length] = (char)*p;
                length++;
                p++;
            }
        }
        if (out != nullptr) {
            out[length] = '\0';
            fill->slots[fill->count] = out;
        }
        fill->count++;
        fill->bytes += length + 1;
        p = skip_blanks(p);
    }
}

// The block for a measured list: its pointer array (null-terminated) and texts. Null
// when memory runs out or the block would be too large to address.
char **make_list_block(const ListFill &measured, ListFill *fill)
{
    if (measured.count >= SIZE_MAX / sizeof(char *) - 1)
        return nullptr;
    size_t pointers = (measured.count + 1) * sizeof(char *);
    if (measured.bytes > SIZE_MAX - pointers)
        return nullptr;
    char **block = (char **)malloc(pointers + measured.bytes);
    if (block == nullptr)
        return nullptr;
    block[measured.count] = nullptr;
    fill->slots = block;
    fill->texts = (char *)(block + measured.count + 1);
    fill->count = 0;
    fill->bytes = 0;
    return block;
}

}  // namespace

char **pack_argument_list(char *const *array)
{
    ListFill measured = {};
    for (size_t i = 0; array != nullptr && array[i] != nullptr; i++) {
        size_t length = strlen(array[i]);
        if (measured.bytes > SIZE_MAX - length - 1)
            return nullptr;
        fill_token(&measured, array[i], length);
    }
    ListFill fill;
    char **block = make_list_block(measured, &fill);
    for (size_t i = 0; block != nullptr && i < measured.count; i++)
        fill_token(&fill, array[i], strlen(array[i]));
    return block;
}

char **tokenize_command_line(const char *text)
{
    ListFill measured = {};
    scan_tokens(text, &measured);
    ListFill fill;
    char **block = make_list_block(measured, &fill);
    if (block != nullptr)
        scan_tokens(text, &fill);
    return block;
}

char *read_whole_file(const char *name, size_t *length)
{
    // Only a regular file has a size to trust; a device or a pipe could block the
    // command or stream without end.
    struct stat status;
    if (name == nullptr || stat(name, &status) != 0 || !S_ISREG(status.st_mode))
        return nullptr;
    if (status.st_size < 0 || (uint64_t)status.st_size >= (uint64_t)INT_MAX)
        return nullptr;
    size_t size = (size_t)status.st_size;
    FILE *file = fopen(name, "rb");
    if (file == nullptr)
        return nullptr;
    char *content = (char *)malloc(size + 1);
    size_t got = 0;
    if (content != nullptr) {
        // Never more than the size allotted, even if the file grew since stat.
        while (got < size) {
            size_t n = fread(content + got, 1, size - got, file);
            if (n == 0)
                break;
            got += n;
        }
    }
    fclose(file);
    if (content == nullptr || got < size) {
        free(content);
        return nullptr;
    }
    content[size] = '\0';
    if (length != nullptr)
        *length = size;
    return content;
}

char **split_command_line(const char *text)
{
    char **tokens = tokenize_command_line(text);
    if (tokens == nullptr)
        return nullptr;
    size_t count = (size_t)argument_count(tokens);
    // The response files are read once and kept until their tokens are in the block.
    char **contents = (char **)calloc(count + 1, sizeof(char *));
    bool failed = contents == nullptr;
    ListFill measured = {};
    for (size_t i = 0; i < count && !failed; i++) {
        if (tokens[i][0] != '@') {
            fill_token(&measured, tokens[i], strlen(tokens[i]));
            continue;
        }
        size_t length = 0;
        contents[i] = read_whole_file(tokens[i] + 1, &length);
        // A NUL inside the file (a UTF-16 file, say) would end the text early and
        // silently drop the arguments behind it.
        failed = contents[i] == nullptr || strlen(contents[i]) != length;
        if (!failed)
            scan_tokens(contents[i], &measured);
    }
    char **block = nullptr;
    ListFill fill;
    if (!failed)
        block = make_list_block(measured, &fill);
    for (size_t i = 0; block != nullptr && i < count; i++) {
        if (contents[i] != nullptr)
            scan_tokens(contents[i], &fill);
        else
            fill_token(&fill, tokens[i], strlen(tokens[i]));
    }
    for (size_t i = 0; contents != nullptr && i < count; i++)
        free(contents[i]);
    free(contents);
    free(tokens);
    return block;
}

int argument_count(char *const *list)
{
    int count = 0;
    while (list != nullptr && list[count] != nullptr)
        count++;
    return count;
}

void release_argument_list(char **list)
{
    free(list);
}
