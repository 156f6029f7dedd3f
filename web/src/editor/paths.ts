import type { TreeRef } from "../api/edit";

export const editorPath = (t: TreeRef) => `/edit/${t.treeType}/${t.id}`;
export const previewPath = (t: TreeRef) => `/preview/${t.treeType}/${t.id}`;
