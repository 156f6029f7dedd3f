// Shapes of the engine's answers that the app reads.

/** 1 = a product's tree, 2 = a template. */
export type TreeType = 1 | 2;

/** 0 root, 1 troubleshooting category, 2 question, 3 answer, 4 action. */
export type NodeType = 0 | 1 | 2 | 3 | 4;

export interface Visibility {
  id: string;
  name: string;
}

export interface Category {
  id: number;
  name: string;
  visibilities: string[];
}

export interface CatalogProduct {
  id: number;
  description: string;
  categories: number[];
  visibilities: string[];
}

export interface Catalog {
  visibilities: Visibility[];
  categories: Category[];
  products: CatalogProduct[];
}

/** What a product or template list says about the tree behind it. */
export interface TreeSummary {
  nodes: number;
  checkedOutBy: string | null;
  checkedOutSince: string | null;
  workingNodes: number | null;
}

export interface ProductRow {
  id: number;
  description: string;
  tree: TreeSummary | null;
}

export interface TemplateRow {
  id: number;
  name: string;
  comment: string;
  productCategory: number;
  tree: TreeSummary | null;
}

export interface TreeNode {
  id: number;
  type: NodeType;
  repId: number;
  short: string;
  long: string;
  visibilities: string[];
  faqs: string;
  hyperlink: number;
  children: TreeNode[];
}

export type TreeView = "working" | "published";

export interface TreeDocument {
  treeType: TreeType;
  id: number;
  view: TreeView;
  checkedOutBy: string | null;
  checkedOutSince: string | null;
  /** A template's top type: 1..4 from its top-level nodes, 10 when it has none; null for products. */
  topType: number | null;
  nodeCount: number;
  root: TreeNode;
}

export interface RepEntity {
  repType: number;
  repId: number;
  short: string;
  long: string;
}

export interface SearchResult {
  total: number;
  items: RepEntity[];
}

export interface WhereUsedItem {
  treeType: number;
  id: number;
  copy: string;
  node: number;
}

export interface WhereUsed {
  total: number;
  items: WhereUsedItem[];
}

export interface ValidationFinding {
  severity: string;
  rule: string;
  node: number;
  message: string;
}

export type Role = "reader" | "author" | "publisher" | "admin";

export interface Identity {
  login: string;
  name: string;
  role: Role;
  via?: string;
  csrfToken?: string;
}
