/* The data file example of the README, kept compiling and running. */
#include <stdio.h>
#include <string.h>

#include "kindex.h"

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "people.kx";
    /* The record: a unique id, a name and a city; the city and name together
     * form a compound key (city ascending, id descending). */
    int32_t id = 0;
    char name[32] = "", city[24] = "";
    KXSEGMENT by_city[3] = {{0}};
    by_city[0].key_type = 0; by_city[0].field_index = 2; by_city[0].max_length = 20; /* city */
    by_city[1].key_type = 5; by_city[1].field_index = 0; by_city[1].descending = 1;  /* id, newest first */
    by_city[2].key_type = 31;                                                          /* end */
    KXROOTLIST roots[] = {{1, 5, NULL}, {2, 8, by_city}, {0, 0, NULL}};
    KXDLIST list[] = {
        {'L', 5, 'U', 4, 1, &id},          /* field 0: id, unique key in root 1 */
        {'S', 'N', 'N', 32, 0, name},      /* field 1: name, not a key */
        {'S', 'N', 'N', 24, 0, city},      /* field 2: city, not a key by itself */
        {'X', 8, 'D', 0, 2, NULL},         /* field 3: compound key in root 2 */
        {'E', 0, 0, 0, 0, NULL},
    };
    uint8_t record_buffer[512];
    KXCB cb;
    memset(&cb, 0, sizeof cb);
    ciunlink(path);
    if (dbcreate(&cb, path, record_buffer, sizeof record_buffer, 'E', 1, roots) != KX_OK) return 1;

    const struct { int32_t id; const char *name, *city; } people[] = {
        {1, "Ada", "Leeds"}, {2, "Bert", "York"}, {3, "Cleo", "Leeds"}};
    for (int i = 0; i < 3; ++i) {
        id = people[i].id;
        snprintf(name, sizeof name, "%s", people[i].name);
        snprintf(city, sizeof city, "%s", people[i].city);
        if (dadd(&cb, list) != KX_OK) return 2;
    }

    /* Find by the unique key, then read the record into the variables. */
    int32_t want = 2;
    if (cidfind(&cb, 1, &want, 5, 1) != KX_OK || cidread(&cb, list) != KX_OK) return 3;
    printf("id 2: %s from %s\n", name, city);

    /* Find by the compound key: the first person in Leeds is the newest. */
    uint8_t key[243];
    snprintf(city, sizeof city, "Leeds");
    id = 0x7fffffff;
    if (dsetkey(&cb, 2, list, 3, key) != KX_OK) return 4;
    if (cidfind(&cb, 2, key, 8, 3) < 0 || cidread(&cb, list) != KX_OK) return 5;
    printf("newest in Leeds: %s (id %d)\n", name, (int)id);

    /* Update the current record, then delete it. */
    snprintf(name, sizeof name, "Cleopatra");
    if (dupdate(&cb, list) != KX_OK) return 6;
    if (ddelete(&cb, list) != KX_OK) return 7;
    if (dgetcnt(&cb) != KX_OK || cb.recval != 2) return 8;
    printf("records left: %u\n", (unsigned)cb.recval);
    if (cidclose(&cb) != KX_OK) return 9;
    ciunlink(path);
    return 0;
}
