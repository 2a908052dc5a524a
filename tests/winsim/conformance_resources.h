// Resource identifiers of the conformance program.
#define IDS_GREETING 1
#define IDS_EMPTY 2
#define IDS_OTHER_BLOCK 17
#define IDI_PRINTER 107
#define IDA_KEYS 109
#define IDD_BOX 103
#define IDC_BOX_TEXT 1001
