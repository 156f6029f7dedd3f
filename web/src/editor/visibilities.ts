import type { Catalog, TemplateRow, TreeType, Visibility } from "../api/types";

/**
 * The audiences a tree may use: a product's own list; for a template, the list
 * of its product category, or every audience when it has none.
 */
export function allowedVisibilities(
  catalog: Catalog | undefined,
  treeType: TreeType,
  id: number,
  templates: TemplateRow[] | undefined,
): string[] {
  if (!catalog) return [];
  if (treeType === 1) return catalog.products.find((p) => p.id === id)?.visibilities ?? [];
  const category = templates?.find((t) => t.id === id)?.productCategory ?? 0;
  if (!category) return catalog.visibilities.map((v) => v.id);
  return catalog.categories.find((c) => c.id === category)?.visibilities ?? [];
}

/**
 * The checkboxes to show: the allowed audiences in catalog order, then any the
 * node already has that are not allowed (so that none disappears unseen).
 */
export function visibilityChoices(
  catalog: Visibility[],
  allowed: readonly string[],
  current: readonly string[],
): Array<{ id: string; name: string; allowed: boolean }> {
  const name = (id: string) => catalog.find((v) => v.id === id)?.name ?? `Audience ${id}`;
  const inOrder = catalog.filter((v) => allowed.includes(v.id)).map((v) => v.id);
  const rest = allowed.filter((id) => !inOrder.includes(id));
  const choices = [...inOrder, ...rest].map((id) => ({ id, name: name(id), allowed: true }));
  for (const id of current) {
    if (!allowed.includes(id)) choices.push({ id, name: `${name(id)} (not allowed here)`, allowed: false });
  }
  return choices;
}

export function visibilityName(catalog: Visibility[] | undefined, id: string): string {
  return catalog?.find((v) => v.id === id)?.name ?? `Audience ${id}`;
}

/**
 * The audiences a node may have: those of the node above it (a node is never
 * visible where its parent is not); directly below the top, those of the tree.
 */
export function allowedBelow(parent: { type: number; visibilities: string[] } | undefined, treeAllowed: readonly string[]): string[] {
  if (!parent || parent.type === 0) return [...treeAllowed];
  return treeAllowed.filter((v) => parent.visibilities.includes(v));
}
