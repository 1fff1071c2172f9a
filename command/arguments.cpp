#include "command/arguments.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

// A token grows in steps of this size; the margin of 5 leaves room for a double-byte
// character and the terminator before the next check.
const size_t TOKEN_STEP = 4096;
const size_t TOKEN_MARGIN = 5;

// A growing array of text pointers. Whether the texts belong to it is the caller's
// business: the tokenizer owns its tokens, the splitter only borrows them.
struct PointerList {
    char **items;
    size_t count;
    size_t capacity;
};

int list_push(PointerList *list, char *item)
{
    if (list->count == list->capacity) {
        size_t capacity = list->capacity ? list->capacity * 2 : 16;
        if (capacity > SIZE_MAX / sizeof(char *))
            return -1;
        char **items = (char **)realloc(list->items, capacity * sizeof(char *));
        if (items == nullptr)
            return -1;
        list->items = items;
        list->capacity = capacity;
    }
    list->items[list->count++] = item;
    return 0;
}

void list_free_items(PointerList *list)
{
    for (size_t i = 0; i < list->count; i++)
        free(list->items[i]);
}

bool is_blank(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
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

// Reads one token starting at *cursor into a new allocated text and moves *cursor past
// it. Null when memory runs out.
char *read_token(const unsigned char **cursor)
{
    const unsigned char *p = *cursor;
    size_t size = TOKEN_STEP;
    char *token = (char *)malloc(size);
    if (token == nullptr)
        return nullptr;
    size_t length = 0;
    bool quoted = false;
    while (*p != '\0' && (quoted || !is_blank(*p))) {
        if (*p == '"') {
            quoted = !quoted;
            p++;
            continue;
        }
        if (length >= size - TOKEN_MARGIN) {
            char *grown = size <= SIZE_MAX - TOKEN_STEP
                              ? (char *)realloc(token, size + TOKEN_STEP)
                              : nullptr;
            if (grown == nullptr) {
                free(token);
                return nullptr;
            }
            token = grown;
            size += TOKEN_STEP;
        }
        unsigned char c = *p++;
        token[length++] = (char)c;
        if (is_lead_byte(c) && is_trail_byte(*p))
            token[length++] = (char)*p++;
    }
    token[length] = '\0';
    *cursor = p;
    return token;
}

}  // namespace

char **pack_argument_list(char *const *array)
{
    size_t count = 0;
    size_t total = sizeof(char *);
    for (; array != nullptr && array[count] != nullptr; count++) {
        size_t need = strlen(array[count]) + 1 + sizeof(char *);
        if (total > SIZE_MAX - need)
            return nullptr;
        total += need;
    }
    char **block = (char **)malloc(total);
    if (block == nullptr)
        return nullptr;
    char *texts = (char *)(block + count + 1);
    for (size_t i = 0; i < count; i++) {
        size_t length = strlen(array[i]) + 1;
        memcpy(texts, array[i], length);
        block[i] = texts;
        texts += length;
    }
    block[count] = nullptr;
    return block;
}

char **tokenize_command_line(const char *text)
{
    const unsigned char *p =
        skip_blanks((const unsigned char *)(text != nullptr ? text : ""));
    PointerList tokens = {};
    bool failed = false;
    while (*p != '\0') {
        char *token = read_token(&p);
        if (token == nullptr || list_push(&tokens, token) != 0) {
            free(token);
            failed = true;
            break;
        }
        p = skip_blanks(p);
    }
    char **packed = nullptr;
    if (!failed && list_push(&tokens, nullptr) == 0)
        packed = pack_argument_list(tokens.items);
    list_free_items(&tokens);
    free(tokens.items);
    return packed;
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
    PointerList merged = {};     // borrowed from tokens and from the response files' lists
    PointerList responses = {};  // the response files' lists, owned
    bool failed = false;
    for (char **token = tokens; *token != nullptr && !failed; token++) {
        if ((*token)[0] != '@') {
            failed = list_push(&merged, *token) != 0;
            continue;
        }
        size_t length = 0;
        char *content = read_whole_file(*token + 1, &length);
        // A NUL inside the file (a UTF-16 file, say) would end the text early and
        // silently drop the arguments behind it.
        if (content == nullptr || strlen(content) != length) {
            free(content);
            failed = true;
            break;
        }
        char **inserted = tokenize_command_line(content);
        free(content);
        if (inserted == nullptr || list_push(&responses, (char *)inserted) != 0) {
            free(inserted);
            failed = true;
            break;
        }
        for (char **piece = inserted; *piece != nullptr && !failed; piece++)
            failed = list_push(&merged, *piece) != 0;
    }
    char **packed = nullptr;
    if (!failed && list_push(&merged, nullptr) == 0)
        packed = pack_argument_list(merged.items);
    free(merged.items);
    list_free_items(&responses);
    free(responses.items);
    free(tokens);
    return packed;
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
