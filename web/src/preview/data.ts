// The reads the preview needs, through the app's API client. Reader role suffices.
import { useQuery } from "@tanstack/react-query";
import { rpc } from "../api/client";
import type { Catalog, TemplateRow, TreeDocument, TreeType, TreeView } from "../api/types";

export function useTree(treeType: TreeType, id: number, view: TreeView) {
  return useQuery({
    queryKey: ["preview-tree", treeType, id, view],
    queryFn: () =>
      rpc<TreeDocument>("Browse.Tree", { i_lTreeType: treeType, i_lID: id, i_sView: view }),
    retry: false,
  });
}

export function useCatalog() {
  return useQuery({
    queryKey: ["catalog"],
    queryFn: () => rpc<Catalog>("Browse.Catalog"),
    staleTime: 5 * 60_000,
  });
}

/** The templates' names; only asked for when the previewed tree is a template. */
export function useTemplates(enabled: boolean) {
  return useQuery({
    queryKey: ["templates"],
    queryFn: () => rpc<TemplateRow[]>("Browse.Templates"),
    enabled,
  });
}
