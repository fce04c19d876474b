/* The plug-in's exported globals; nothing in the plug-in reads or writes them. */
void *DOSBase = 0;
void *UtilityBase = 0;
void *IntuitionBase = 0;
void *MUIMasterBase = 0;
void *HashTableBase = 0;
