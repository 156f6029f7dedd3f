// Query keys and hooks shared by the screens; every mutation refreshes what it may have changed.
import { useMutation, useQuery, useQueryClient, type QueryKey } from "@tanstack/react-query";
import { getCatalog, getProducts, getTemplates, getTree } from "./browse";
import type { TreeType } from "./types";

export const keys = {
  catalog: ["catalog"] as const,
  products: (filter: string) => ["products", filter] as const,
  allProducts: ["products"] as const,
  templates: ["templates"] as const,
  tree: (treeType: TreeType, id: number) => ["tree", treeType, id] as const,
  whereUsed: (repType: number, repId: number) => ["whereUsed", repType, repId] as const,
};

export const useCatalog = () => useQuery({ queryKey: keys.catalog, queryFn: getCatalog, staleTime: 5 * 60_000 });

export const useProducts = (filter: string) =>
  useQuery({ queryKey: keys.products(filter), queryFn: () => getProducts(filter), placeholderData: (previous) => previous });

export const useTemplates = () => useQuery({ queryKey: keys.templates, queryFn: getTemplates });

export const useTree = (treeType: TreeType, id: number) =>
  useQuery({ queryKey: keys.tree(treeType, id), queryFn: () => getTree(treeType, id), staleTime: 0 });

/**
 * A change through the engine. Afterwards the given queries are refreshed, and
 * the lists on the home page too (node counts and check-out states change with
 * almost every edit) — also when the change failed, since the engine may have
 * applied part of a multi-step action.
 */
export function useEngineMutation<A, R>(fn: (args: A) => Promise<R>, refresh: (args: A) => QueryKey[] = () => []) {
  const client = useQueryClient();
  return useMutation({
    mutationFn: fn,
    onSettled: async (_data, _error, args) => {
      const all = [...refresh(args), keys.allProducts, keys.templates];
      await Promise.all(all.map((queryKey) => client.invalidateQueries({ queryKey })));
    },
  });
}
