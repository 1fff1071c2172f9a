// The name this build goes by in the interop matrix.
const char *interop_target(void);

const char *interop_target(void)
{
    return "native";
}
