// The reads the preview needs, through the app's API client. Reader role suffices.
import { useQuery } from "@tanstack/react-query";
import { getTree } from "../api/browse";
import { keys } from "../api/queries";
import type { TreeType, TreeView } from "../api/types";

export { useCatalog, useTemplates } from "../api/queries";

/** One copy of a tree; under the editor's key, so that an edit refreshes the preview too. */
export function useTreeCopy(treeType: TreeType, id: number, view: TreeView) {
  return useQuery({
    queryKey: [...keys.tree(treeType, id), "preview", view],
    queryFn: () => getTree(treeType, id, view),
    retry: false,
  });
}
